#include "ConfigFileRewrite.h"

#include <array>
#include <string_view>

#include "ConfigLineReader.h"
#include "Ipv4Text.h"

namespace {

constexpr std::string_view kLineEnd = "\r\n";

enum class Tag {
    ResetSystem,
    InstallEnabled,
    SubnetMask,
    GatewayIp,
    PrimaryNameServer,
    SecondaryNameServer,
    Ssid,
    WirelessMode,
    Channel,
    TxRate,
    Preamble,
    DataEncryption,
    AuthenticationMode,
    KeyLength,
    KeyFormat,
    KeySelect,
    Key1,
    Key2,
    Key3,
    Key4,
};

struct TagName {
    std::string_view text;
    Tag tag;
};

// In the order the lines are compared.
constexpr std::array<TagName, 20> kTags{{
    {"<reset system>", Tag::ResetSystem},
    {"<install enabled>", Tag::InstallEnabled},
    {"<subnet mask>", Tag::SubnetMask},
    {"<gateway ip>", Tag::GatewayIp},
    {"<primary name server>", Tag::PrimaryNameServer},
    {"<secondary name server>", Tag::SecondaryNameServer},
    {"<SSID>", Tag::Ssid},
    {"<wireless mode>", Tag::WirelessMode},
    {"<channel>", Tag::Channel},
    {"<Tx rate>", Tag::TxRate},
    {"<preamble>", Tag::Preamble},
    {"<data encryption>", Tag::DataEncryption},
    {"<authentication mode>", Tag::AuthenticationMode},
    {"<key length>", Tag::KeyLength},
    {"<key format>", Tag::KeyFormat},
    {"<key select>", Tag::KeySelect},
    {"<key 1>", Tag::Key1},
    {"<key 2>", Tag::Key2},
    {"<key 3>", Tag::Key3},
    {"<key 4>", Tag::Key4},
}};

constexpr int kWirelessModes = 2;
constexpr int kChannels = 11;
constexpr int kKeyCount = 4;
constexpr std::array<std::string_view, 5> kTxRates{"1M", "2M", "5.5M", "11M", "22M"};
constexpr std::array<std::string_view, 3> kAuthenticationModes{"auto", "shared", "open"};
constexpr std::array<std::string_view, 3> kKeyLengths{"64bit", "128bit", "256bit"};

std::optional<Tag> FindTag(std::string_view line) {
    for (const TagName& name : kTags) {
        if (line == name.text) {
            return name.tag;
        }
    }
    return std::nullopt;
}

template <size_t N>
std::optional<std::string> Pick(const std::array<std::string_view, N>& texts, int index) {
    if (index < 0 || static_cast<size_t>(index) >= N) {
        return std::nullopt;
    }
    return std::string(texts[static_cast<size_t>(index)]);
}

std::optional<std::string> Text(const std::string& text) {
    if (!IsSingleLineValue(text)) {
        return std::nullopt;
    }
    return text;
}

// index + offset in decimal, when index lies in 0 .. count - 1.
std::optional<std::string> Number(int index, int offset, int count) {
    if (index < 0 || index >= count) {
        return std::nullopt;
    }
    return std::to_string(index + offset);
}

std::string YesNo(bool value) {
    return value ? "YES" : "NO";
}

std::optional<std::string> ValueFor(Tag tag, const InstallParams& p) {
    switch (tag) {
        case Tag::ResetSystem:
            return "YES";
        case Tag::InstallEnabled:
            return YesNo(p.m_installEnabled);
        case Tag::SubnetMask:
            return FormatDottedAddress(p.m_subnetMask);
        case Tag::GatewayIp:
            return FormatDottedAddress(p.m_gateway);
        case Tag::PrimaryNameServer:
            return FormatDottedAddress(p.m_primaryDns);
        case Tag::SecondaryNameServer:
            return FormatDottedAddress(p.m_secondaryDns);
        case Tag::Ssid:
            return Text(p.m_ssid);
        case Tag::WirelessMode:
            return Number(p.m_wirelessMode, 0, kWirelessModes);
        case Tag::Channel:
            return Number(p.m_channelIndex, 1, kChannels);
        case Tag::TxRate:
            return Pick(kTxRates, p.m_txRateIndex);
        case Tag::Preamble:
            return p.m_preamble == 0 ? "long" : "short";
        case Tag::DataEncryption:
            return YesNo(p.m_dataEncryption);
        default:
            break;
    }
    // The encryption settings are written only when encryption is on.
    if (!p.m_dataEncryption) {
        return std::nullopt;
    }
    switch (tag) {
        case Tag::AuthenticationMode:
            return Pick(kAuthenticationModes, p.m_authenticationIndex);
        case Tag::KeyLength:
            return Pick(kKeyLengths, p.m_keyLengthIndex);
        case Tag::KeyFormat:
            return p.m_keyFormat == 0 ? "ASCII" : "HEX";
        case Tag::KeySelect:
            return Number(p.m_keySelect, 1, kKeyCount);
        case Tag::Key1:
            return Text(p.m_keys[0]);
        case Tag::Key2:
            return Text(p.m_keys[1]);
        case Tag::Key3:
            return Text(p.m_keys[2]);
        case Tag::Key4:
            return Text(p.m_keys[3]);
        default:
            return std::nullopt;
    }
}

void WriteLine(std::ostream& out, std::string_view text) {
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.write(kLineEnd.data(), static_cast<std::streamsize>(kLineEnd.size()));
}

}  // namespace

const std::vector<std::string>& KnownConfigTags() {
    static const std::vector<std::string> tags = [] {
        std::vector<std::string> names;
        for (const TagName& name : kTags) {
            names.emplace_back(name.text);
        }
        return names;
    }();
    return tags;
}

bool IsSingleLineValue(const std::string& text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

std::optional<std::string> ConfigValueForTag(const std::string& tag, const InstallParams& params) {
    const std::optional<Tag> found = FindTag(tag);
    if (!found) {
        return std::nullopt;
    }
    return ValueFor(*found, params);
}

void RewriteConfigFile(std::istream& in, std::ostream& out, const InstallParams& params) {
    ConfigLineReader reader(in);
    std::string line;
    for (ConfigLineReader::Result r = reader.Next(line); r != ConfigLineReader::Result::End; r = reader.Next(line)) {
        out.write(line.data(), static_cast<std::streamsize>(line.size()));
        if (r == ConfigLineReader::Result::Long) {
            // Far longer than any tag: copied through whole and never compared.
            reader.CopyRest(out);
            out.write(kLineEnd.data(), static_cast<std::streamsize>(kLineEnd.size()));
            continue;
        }
        out.write(kLineEnd.data(), static_cast<std::streamsize>(kLineEnd.size()));

        const std::optional<Tag> tag = FindTag(line);
        if (!tag) {
            continue;
        }
        const std::optional<std::string> value = ValueFor(*tag, params);
        std::string old;
        const ConfigLineReader::Result oldRead = reader.Next(old);
        if (value) {
            if (oldRead == ConfigLineReader::Result::Long) {
                reader.SkipRest();
            }
            WriteLine(out, *value);
        } else if (oldRead != ConfigLineReader::Result::End) {
            out.write(old.data(), static_cast<std::streamsize>(old.size()));
            if (oldRead == ConfigLineReader::Result::Long) {
                reader.CopyRest(out);
            }
            out.write(kLineEnd.data(), static_cast<std::streamsize>(kLineEnd.size()));
        }
    }
}
