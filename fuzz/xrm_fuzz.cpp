// One XRM datagram as the worker receives it. A parse that succeeds must build back to a datagram that parses to
// the same record; the answer then goes through the message-1131 handling twice, once for an unknown camera and
// once for one that a DHCP packet has put in the table as pending.
#include "ByteReader.h"
#include "FuzzSupport.h"
#include "Ipv4Text.h"
#include "XrmProtocol.h"

#include <array>
#include <span>

namespace {

// The builder carries no address option (only cameras send one), so the address does not travel back.
bool SameRecord(const XrmAnswer& a, const XrmAnswer& b) {
    return a.type == b.type && a.identifier == b.identifier && a.model == b.model && a.mac == b.mac &&
           b.address == std::array<uint8_t, 4>{} && a.secondText == b.secondText && a.value == b.value;
}

// What the worker hands to the user-interface thread for an answer.
XrmDeviceMessage MessageFor(const XrmAnswer& answer) {
    XrmDeviceMessage message;
    message.model = answer.model;
    message.mac = MacAddress(answer.mac);
    message.address = FormatDottedAddress(ByteReader(answer.address).U32Be().value_or(0));
    message.secondText = answer.secondText;
    return message;
}

// A port-67 discover from `mac` with host name QM52X3-0100, which marks the row "------".
std::array<uint8_t, 300> PendingDiscover(const MacAddress::Bytes& mac) {
    std::array<uint8_t, 300> packet{};
    packet[0] = 1;
    for (size_t i = 0; i < mac.size(); ++i) {
        packet[28 + i] = mac[i];
    }
    const uint8_t options[] = {99,  130, 83,  99,  53,  1,   1,   12,  11,  'Q', 'M',
                               '5', '2', 'X', '3', '-', '0', '1', '0', '0', 255};
    std::copy(std::begin(options), std::end(options), packet.begin() + 236);
    return packet;
}

void CheckRoundTrip(const XrmAnswer& answer) {
    FUZZ_CHECK(answer.model.size() <= kXrmTextLength && answer.secondText.size() <= kXrmTextLength,
               "texts are cut to 40");
    std::array<uint8_t, kXrmMaxDatagram> buffer{};
    const auto length = BuildXrmDatagram(buffer, answer);
    switch (answer.type) {
        case kXrmRecord:
        case kXrmRecordAlt1:
        case kXrmRecordAlt2: {
            FUZZ_CHECK(length.has_value(), "a parsed record fits a datagram");
            const auto again = ParseXrmDatagram(std::span<const uint8_t>(buffer.data(), *length));
            FUZZ_CHECK(again.has_value(), "a built record parses");
            FUZZ_CHECK(SameRecord(answer, *again), "a built record parses to the same record");
            break;
        }
        case kXrmQuery:
        case kXrmAcknowledgement: {
            FUZZ_CHECK(length == 5u, "query and acknowledgement are 5 bytes");
            const auto again = ParseXrmDatagram(std::span<const uint8_t>(buffer.data(), *length));
            FUZZ_CHECK(again && again->type == answer.type && again->identifier == answer.identifier,
                       "a built query parses to its type and identifier");
            break;
        }
        default:
            FUZZ_CHECK(!length.has_value(), "other types are not built");
            break;
    }
    // Too small a buffer is refused, never overrun.
    if (length && *length > 5) {
        FUZZ_CHECK(!BuildXrmDatagram(std::span<uint8_t>(buffer.data(), *length - 1), answer), "short buffer refused");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto answer = ParseXrmDatagram(std::span<const uint8_t>(data, size));
    if (size < 5) {
        FUZZ_CHECK(!answer, "fewer than 5 bytes never parse");
    }
    if (!answer) {
        return 0;
    }
    CheckRoundTrip(*answer);

    const XrmDeviceMessage message = MessageFor(*answer);
    const bool camera = CameraAddressFilter(MacAddress(answer->mac));
    const bool wireless = answer->model.size() > 5 && (answer->model[5] == '3' || answer->model[5] == '4');
    {
        FuzzDiscovery env;
        env.core.HandleXrmDevice(message);
        env.core.HandleXrmDevice(message);
        CheckTable(env.core.Table());
        FUZZ_CHECK(env.core.Table().RowCount() == (camera ? 1u : 0u), "one row exactly for a camera");
        FUZZ_CHECK(env.broadcasts == 0, "an answer starts no search");
        if (camera) {
            const DeviceTable& table = env.core.Table();
            FUZZ_CHECK(table.Cell(0, kColumnAddress) == message.address, "answer's address shown");
            FUZZ_CHECK(table.Cell(0, kColumnAssigned) == kAssignedYes, "answer marks Yes");
            FUZZ_CHECK(table.Cell(0, kColumnWireless) == (wireless ? kYes : kNo), "wireless from the model text");
        }
    }
    if (camera) {
        FuzzDiscovery env;
        const auto discover = PendingDiscover(answer->mac);
        FUZZ_CHECK(env.core.HandleClientPacket(discover) == 0, "discover handled");
        FUZZ_CHECK(env.core.PendingXrmCount() == 1, "discover leaves the camera pending");
        env.core.HandleXrmDevice(message);
        CheckTable(env.core.Table());
        FUZZ_CHECK(env.core.Table().RowCount() == 1, "the answer lands on the DHCP row");
        FUZZ_CHECK(env.core.Table().Cell(0, kColumnAssigned) == kAssignedYes, "pending row becomes Yes");
        FUZZ_CHECK(env.core.PendingXrmCount() == 0, "pending count settles");
        env.core.HandleXrmDevice(message);
        FUZZ_CHECK(env.core.PendingXrmCount() == 0, "a second answer does not count down again");
    }
    return 0;
}
