#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// A hardware address: six bytes from the packet to the neighbour entry. Text appears only at the edges (the
// list, the command line, the helper's requests, the camera's factory password), and only this type makes it.
class MacAddress {
  public:
    using Bytes = std::array<uint8_t, 6>;

    constexpr MacAddress() = default;
    constexpr explicit MacAddress(const Bytes& bytes) : m_bytes(bytes) {}

    // Six hex pairs in either case, each pair followed (but the last) by one of `separators`:
    // "AA-BB-CC-DD-EE-FF", "aa:bb:cc:dd:ee:ff". Anything else, including surrounding text, is refused.
    static std::optional<MacAddress> Parse(std::string_view text, std::string_view separators = "-:");
    // Exactly six bytes (a netlink attribute); other lengths are refused.
    static std::optional<MacAddress> FromBytes(std::span<const uint8_t> bytes);

    const Bytes& Octets() const { return m_bytes; }
    bool IsZero() const { return m_bytes == Bytes{}; }
    bool IsMulticast() const { return (m_bytes[0] & 1) != 0; }

    // "AA-BB-CC-DD-EE-FF": the list's text and row key.
    std::string Text() const;
    // "aa:bb:cc:dd:ee:ff": the form netlink tools write.
    std::string ColonText() const;
    // "AABBCCDDEEFF": the camera's factory FTP password.
    std::string PasswordText() const;

    friend auto operator<=>(const MacAddress&, const MacAddress&) = default;

  private:
    Bytes m_bytes{};
};
