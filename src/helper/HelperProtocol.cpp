#include "HelperProtocol.h"

#include "ByteReader.h"
#include "ByteWriter.h"
#include "Ipv4Text.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <vector>

namespace {

// Splits on single spaces; nothing when a field is empty (leading, trailing or doubled space).
std::optional<std::vector<std::string_view>> Fields(std::string_view text) {
    std::vector<std::string_view> fields;
    size_t start = 0;
    while (true) {
        const size_t space = text.find(' ', start);
        const std::string_view field = text.substr(start, space == std::string_view::npos ? text.npos : space - start);
        if (field.empty()) {
            return std::nullopt;
        }
        fields.push_back(field);
        if (space == std::string_view::npos) {
            return fields;
        }
        start = space + 1;
    }
}

// 1 to maxDigits decimal digits, value at most maxValue.
std::optional<uint64_t> Decimal(std::string_view text, size_t maxDigits, uint64_t maxValue) {
    if (text.empty() || text.size() > maxDigits) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > maxValue) {
        return std::nullopt;
    }
    return value;
}

struct VerbShape {
    std::string_view name;
    HelperVerb verb;
    size_t arguments;
};

constexpr VerbShape kVerbs[] = {
    {"hello", HelperVerb::Hello, 0},
    {"dhcp-relay", HelperVerb::DhcpRelay, 1},
    {"arp-relay", HelperVerb::ArpRelay, 0},
    {"echo-open", HelperVerb::EchoOpen, 0},
    {"install-begin", HelperVerb::InstallBegin, 3},
    {"assign-echo", HelperVerb::AssignEcho, 4},
    {"install-end", HelperVerb::InstallEnd, 1},
    {"cleanup", HelperVerb::Cleanup, 0},
};

std::string_view VerbName(HelperVerb verb) {
    for (const VerbShape& shape : kVerbs) {
        if (shape.verb == verb) {
            return shape.name;
        }
    }
    return "?";
}

const VerbShape* FindVerb(std::string_view name) {
    for (const VerbShape& candidate : kVerbs) {
        if (candidate.name == name) {
            return &candidate;
        }
    }
    return nullptr;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::vector<uint8_t>> HexBytes(std::string_view text) {
    if (text.size() % 2 != 0 || text.size() > 2 * kHelperMaxAssignPayload) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = HexDigit(text[i]);
        const int low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return bytes;
}

// Fills the verb's fields of request from its arguments (as many as its shape says); the refusal text on failure.
std::optional<std::string> ReadArguments(const std::string_view* argument, size_t count, HelperRequest& request) {
    switch (request.verb) {
        case HelperVerb::AssignEcho: {
            const auto address = ParseStrictDottedAddress(argument[0]);
            if (!address) {
                return "address is not an IPv4 dotted quad";
            }
            request.address = *address;
            const auto identifier = Decimal(argument[1], 5, UINT16_MAX);
            if (!identifier) {
                return "identifier must be 0..65535";
            }
            request.identifier = static_cast<uint16_t>(*identifier);
            const auto sequence = Decimal(argument[2], 5, UINT16_MAX);
            if (!sequence) {
                return "sequence must be 0..65535";
            }
            request.sequence = static_cast<uint16_t>(*sequence);
            if (count == 4) {
                auto payload = HexBytes(argument[3]);
                if (!payload) {
                    return "payload must be 2 to 128 hex digits, an even count";
                }
                request.payload = std::move(*payload);
            }
            break;
        }
        case HelperVerb::DhcpRelay:
            if (argument[0] != "67" && argument[0] != "68") {
                return "port must be 67 or 68";
            }
            request.port = argument[0] == "67" ? 67 : 68;
            break;
        case HelperVerb::InstallBegin: {
            const auto index = Decimal(argument[0], 10, INT_MAX);
            if (!index || *index == 0) {
                return "bad interface index";
            }
            request.interfaceIndex = static_cast<int>(*index);
            ++argument;
            [[fallthrough]];
        }
        case HelperVerb::InstallEnd: {
            const auto address = ParseStrictDottedAddress(argument[0]);
            if (!address) {
                return "address is not an IPv4 dotted quad";
            }
            request.address = *address;
            if (request.verb == HelperVerb::InstallBegin) {
                const auto mac = MacAddress::Parse(argument[1], ":");
                if (!mac) {
                    return "MAC is not six hex pairs joined by ':'";
                }
                request.mac = *mac;
            }
            break;
        }
        case HelperVerb::Hello:
        case HelperVerb::ArpRelay:
        case HelperVerb::EchoOpen:
        case HelperVerb::Cleanup:
            break;
    }
    return std::nullopt;
}

HelperRequestParse Refuse(uint32_t token, std::string error) {
    HelperRequestParse parse;
    parse.token = token;
    parse.error = std::move(error);
    return parse;
}

std::string_view AsText(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

HelperRequestParse ParseHelperRequest(std::string_view packet) {
    if (packet.size() > kHelperMaxRequest) {
        return Refuse(0, "request too long");
    }
    if (!packet.empty() && packet.back() == '\n') {
        packet.remove_suffix(1);
    }
    if (packet.empty()) {
        return Refuse(0, "empty request");
    }
    // The token first, so that every later refusal can be matched to its request.
    const size_t tokenEnd = packet.find(' ');
    const auto token = Decimal(packet.substr(0, tokenEnd), 10, UINT32_MAX);
    if (!token || *token == 0) {
        return Refuse(0, "bad token");
    }
    const uint32_t tokenValue = static_cast<uint32_t>(*token);
    for (const char c : packet) {
        if (c < 0x20 || c > 0x7e) {
            return Refuse(tokenValue, "control or non-ASCII byte in request");
        }
    }
    const auto fields = Fields(packet);
    if (!fields) {
        return Refuse(tokenValue, "fields must be separated by single spaces");
    }
    if (fields->size() < 2) {
        return Refuse(tokenValue, "no verb");
    }
    const std::string_view name = (*fields)[1];
    const VerbShape* shape = FindVerb(name);
    if (shape == nullptr) {
        return Refuse(tokenValue, "unknown verb");
    }
    const size_t count = fields->size() - 2;
    // assign-echo leaves its payload out when it is empty.
    const bool optionalLast = shape->verb == HelperVerb::AssignEcho && count + 1 == shape->arguments;
    if (count != shape->arguments && !optionalLast) {
        return Refuse(tokenValue, std::string(name) + " takes " + std::to_string(shape->arguments) + " argument" +
                                      (shape->arguments == 1 ? "" : "s"));
    }
    HelperRequest request;
    request.token = tokenValue;
    request.verb = shape->verb;
    if (auto error = ReadArguments(fields->data() + 2, count, request)) {
        return Refuse(tokenValue, std::move(*error));
    }
    HelperRequestParse parse;
    parse.token = tokenValue;
    parse.request = request;
    return parse;
}

HelperRequestParse ParseHelperRequest(std::span<const uint8_t> packet) {
    return ParseHelperRequest(AsText(packet));
}

std::string FormatHelperRequest(const HelperRequest& request) {
    // Field by field: GCC 12 at -O3 misreads `" " + std::string` (-Wrestrict).
    std::string text = std::to_string(request.token);
    const auto field = [&text](std::string_view value) {
        text += ' ';
        text += value;
    };
    field(VerbName(request.verb));
    switch (request.verb) {
        case HelperVerb::DhcpRelay:
            field(std::to_string(request.port));
            break;
        case HelperVerb::AssignEcho: {
            field(FormatDottedAddress(request.address));
            field(std::to_string(request.identifier));
            field(std::to_string(request.sequence));
            static constexpr char kDigits[] = "0123456789abcdef";
            std::string hex;
            for (size_t i = 0; i < request.payload.size() && i < kHelperMaxAssignPayload; ++i) {
                hex += kDigits[request.payload[i] >> 4];
                hex += kDigits[request.payload[i] & 0x0f];
            }
            if (!hex.empty()) {
                field(hex);
            }
            break;
        }
        case HelperVerb::InstallBegin:
            field(std::to_string(request.interfaceIndex));
            field(FormatDottedAddress(request.address));
            field(request.mac.ColonText());
            break;
        case HelperVerb::InstallEnd:
            field(FormatDottedAddress(request.address));
            break;
        case HelperVerb::Hello:
        case HelperVerb::ArpRelay:
        case HelperVerb::EchoOpen:
        case HelperVerb::Cleanup:
            break;
    }
    return text;
}

bool HelperVerbTakesDescriptor(HelperVerb verb) {
    return verb == HelperVerb::DhcpRelay || verb == HelperVerb::ArpRelay || verb == HelperVerb::EchoOpen;
}

std::string FormatEchoOpened(uint16_t identifier) {
    return "identifier " + std::to_string(identifier);
}

std::optional<uint16_t> ParseEchoOpened(std::string_view text) {
    constexpr std::string_view kPrefix = "identifier ";
    if (!text.starts_with(kPrefix)) {
        return std::nullopt;
    }
    const auto identifier = Decimal(text.substr(kPrefix.size()), 5, UINT16_MAX);
    return identifier ? std::optional(static_cast<uint16_t>(*identifier)) : std::nullopt;
}

std::string FormatHelperReply(uint32_t token, int code, std::string_view text) {
    std::string reply = std::to_string(token) + " " + std::to_string(code) + " ";
    for (const char c : text) {
        if (reply.size() >= kHelperMaxReply) {
            break;
        }
        reply += (c < 0x20 || c == 0x7f) ? '?' : c;
    }
    return reply;
}

std::optional<HelperReply> ParseHelperReply(std::string_view packet) {
    if (packet.size() > kHelperMaxReply) {
        return std::nullopt;
    }
    if (!packet.empty() && packet.back() == '\n') {
        packet.remove_suffix(1);
    }
    const size_t tokenEnd = packet.find(' ');
    if (tokenEnd == std::string_view::npos) {
        return std::nullopt;
    }
    const auto token = Decimal(packet.substr(0, tokenEnd), 10, UINT32_MAX);
    const size_t codeEnd = packet.find(' ', tokenEnd + 1);
    const auto code =
        Decimal(packet.substr(tokenEnd + 1, codeEnd == packet.npos ? packet.npos : codeEnd - tokenEnd - 1), 4, 4095);
    if (!token || !code) {
        return std::nullopt;
    }
    HelperReply reply;
    reply.token = static_cast<uint32_t>(*token);
    reply.code = static_cast<int>(*code);
    if (codeEnd != std::string_view::npos) {
        reply.text = std::string(packet.substr(codeEnd + 1));
    }
    for (const char c : reply.text) {
        if (c < 0x20 || c == 0x7f) {
            return std::nullopt;
        }
    }
    return reply;
}

std::optional<HelperReply> ParseHelperReply(std::span<const uint8_t> packet) {
    return ParseHelperReply(AsText(packet));
}

namespace {

struct CapabilityName {
    std::string_view name;
    bool HelperHello::*flag;
};

constexpr CapabilityName kCapabilityNames[] = {
    {"net_raw", &HelperHello::netRaw},
    {"net_admin", &HelperHello::netAdmin},
};

}  // namespace

std::string FormatHelperHello(const HelperHello& hello) {
    std::string list;
    for (const CapabilityName& capability : kCapabilityNames) {
        if (hello.*capability.flag) {
            list += list.empty() ? "" : ",";
            list += capability.name;
        }
    }
    std::string text(kHelperName);
    text += ' ';
    text += hello.version;
    text += " caps=";
    text += list.empty() ? "none" : list;
    return text;
}

std::optional<HelperHello> ParseHelperHello(std::string_view text) {
    const auto fields = Fields(text);
    if (!fields || fields->size() != 3 || (*fields)[0] != kHelperName || !(*fields)[2].starts_with("caps=")) {
        return std::nullopt;
    }
    HelperHello hello;
    hello.version = std::string((*fields)[1]);
    std::string_view list = (*fields)[2].substr(5);
    if (list == "none") {
        return hello;
    }
    while (true) {
        const size_t comma = list.find(',');
        const std::string_view name = list.substr(0, comma);
        bool known = false;
        for (const CapabilityName& capability : kCapabilityNames) {
            if (capability.name == name) {
                hello.*capability.flag = true;
                known = true;
            }
        }
        if (!known) {
            return std::nullopt;
        }
        if (comma == std::string_view::npos) {
            return hello;
        }
        list.remove_prefix(comma + 1);
    }
}

std::vector<uint8_t> FormatRelayRecord(const RelayRecord& record) {
    std::vector<uint8_t> packet(kRelayHeaderSize + record.payload.size());
    ByteWriter writer(packet);
    writer.U8(record.kind);
    writer.U8(0);
    writer.U16Be(record.sequence);
    writer.U32Be(record.interfaceIndex);
    writer.U32Be(record.address);
    writer.U16Be(record.sourcePort);
    writer.U16Be(record.destinationPort);
    writer.Bytes(record.payload);
    return packet;
}

std::optional<RelayRecord> ParseRelayRecord(std::span<const uint8_t> packet) {
    ByteReader reader(packet);
    const auto kind = reader.U8();
    reader.U8();  // reserved
    const auto sequence = reader.U16Be();
    const auto interfaceIndex = reader.U32Be();
    const auto address = reader.U32Be();
    const auto sourcePort = reader.U16Be();
    const auto destinationPort = reader.U16Be();
    if (!destinationPort || *kind < kRelayDhcp || *kind > kRelayError) {
        return std::nullopt;  // shorter than the header, or of no known kind
    }
    RelayRecord record;
    record.kind = *kind;
    record.sequence = *sequence;
    record.interfaceIndex = *interfaceIndex;
    record.address = *address;
    record.sourcePort = *sourcePort;
    record.destinationPort = *destinationPort;
    record.payload = packet.subspan(reader.Position());
    return record;
}
