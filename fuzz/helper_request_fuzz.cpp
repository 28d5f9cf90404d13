// One packet as camera-setup-helper receives it, and the same bytes as a reply the program receives. A request
// that parses formats back to text that parses to the same request; a refused one is answered with a reply that
// the program reads back unchanged; nothing longer than 256 bytes ever parses. The same bytes as a relay record: a
// record that parses formats back to the same bytes (reserved byte aside) and its payload stays inside the packet.
// The same bytes as a datagram, ARP packet or ICMP message the helper relays: its filters read only inside them.
#include "FuzzSupport.h"
#include "HelperPackets.h"
#include "HelperProtocol.h"

#include <algorithm>
#include <span>
#include <vector>

namespace {

bool SameRequest(const HelperRequest& a, const HelperRequest& b) {
    return a.token == b.token && a.verb == b.verb && a.port == b.port && a.interfaceIndex == b.interfaceIndex &&
           a.address == b.address && a.mac == b.mac && a.identifier == b.identifier && a.sequence == b.sequence &&
           a.payload == b.payload;
}

void CheckReplyRoundTrip(uint32_t token, int code, const std::string& text) {
    const std::string packet = FormatHelperReply(token, code, text);
    FUZZ_CHECK(packet.size() <= kHelperMaxReply, "a reply fits 512 bytes");
    const auto reply = ParseHelperReply(packet);
    FUZZ_CHECK(reply && reply->token == token && reply->code == code, "a formatted reply parses to its token and code");
    FUZZ_CHECK(reply->text.size() <= text.size() && text.compare(0, reply->text.size(), reply->text) == 0,
               "the reply text is the text or a cut of it");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    const HelperRequestParse parse = ParseHelperRequest(bytes);
    if (size > kHelperMaxRequest) {
        FUZZ_CHECK(!parse.request && parse.token == 0, "an oversized request is refused without a token");
    }
    if (parse.request) {
        FUZZ_CHECK(parse.error.empty() && parse.token == parse.request->token && parse.token != 0,
                   "a parsed request carries its non-zero token");
        const std::string text = FormatHelperRequest(*parse.request);
        FUZZ_CHECK(text.size() <= kHelperMaxRequest, "a formatted request fits 256 bytes");
        const HelperRequestParse again = ParseHelperRequest(text);
        FUZZ_CHECK(again.request && SameRequest(*again.request, *parse.request),
                   "a formatted request parses to the same request");
    } else {
        FUZZ_CHECK(!parse.error.empty(), "a refusal says why");
        CheckReplyRoundTrip(parse.token, 22, parse.error);
    }

    if (const auto reply = ParseHelperReply(bytes)) {
        FUZZ_CHECK(reply->code >= 0 && reply->code <= 4095, "reply code in range");
        const auto again = ParseHelperReply(FormatHelperReply(reply->token, reply->code, reply->text));
        FUZZ_CHECK(again && again->token == reply->token && again->code == reply->code && again->text == reply->text,
                   "a parsed reply formats back to the same reply");
        if (const auto hello = ParseHelperHello(reply->text)) {
            const auto helloAgain = ParseHelperHello(FormatHelperHello(*hello));
            FUZZ_CHECK(helloAgain && helloAgain->version == hello->version && helloAgain->netRaw == hello->netRaw &&
                           helloAgain->netAdmin == hello->netAdmin,
                       "a hello text formats back to the same capabilities");
        }
    }
    if (const auto record = ParseRelayRecord(bytes)) {
        FUZZ_CHECK(size >= kRelayHeaderSize && record->payload.data() == data + kRelayHeaderSize &&
                       record->payload.size() == size - kRelayHeaderSize,
                   "a relay record's payload is the rest of its packet");
        std::vector<uint8_t> again = FormatRelayRecord(*record);
        again[1] = data[1];
        FUZZ_CHECK(std::equal(again.begin(), again.end(), bytes.begin(), bytes.end()),
                   "a parsed relay record formats back to its bytes");
    }
    [[maybe_unused]] const bool dhcp = IsCameraDhcp(bytes);
    [[maybe_unused]] const bool arp = IsCameraArp(bytes);
    if (const auto about = ReadIcmpAbout(bytes)) {
        FUZZ_CHECK(about->icmpOffset >= 20 && about->icmpOffset + 8 <= size, "the ICMP message lies inside the packet");
    }
    if (const auto udp = ReadIpv4Udp(bytes)) {
        FUZZ_CHECK(udp->payload.data() >= data + 28 && udp->payload.data() + udp->payload.size() <= data + size,
                   "the UDP payload lies inside the packet");
    }
    return 0;
}
