#pragma once

// The addresses of a `--range FIRST-LAST`, handed out in order. Addresses known to be in use are never handed
// out; an address an installation finds in use is marked and the next free one taken. Thread-safe: the
// installations of a batch take addresses concurrently.

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

struct AddressSpan {
    uint32_t first = 0;  // host order, first <= last
    uint32_t last = 0;
};

// "A.B.C.D-E.F.G.H" (strict dotted quads, first <= last, at most 65536 addresses); nothing, with the reason in
// *error, otherwise.
std::optional<AddressSpan> ParseAddressSpan(std::string_view text, std::string* error);

class AddressAllocator {
  public:
    // inUse: addresses never to hand out (this PC's, the cameras' in the list, the gateway, ...). Addresses that
    // the network page would refuse for this mask (network, broadcast) are skipped too.
    AddressAllocator(AddressSpan span, uint32_t mask, std::set<uint32_t> inUse);

    // How many addresses are left to hand out.
    size_t Free() const;
    // The next free address in order, taken; nothing when the range is used up.
    std::optional<uint32_t> Take();
    // The address was found in use: never handed out again (it was taken already).
    void MarkInUse(uint32_t address);

  private:
    mutable std::mutex m_mutex;
    AddressSpan m_span;
    uint32_t m_mask;
    std::set<uint32_t> m_unavailable;  // in use or handed out
    uint32_t m_next;                   // no address below it is free
};
