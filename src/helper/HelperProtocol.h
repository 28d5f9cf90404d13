#pragma once

// The request/reply protocol between camera-setup and camera-setup-helper, shared by both sides. No Qt.
//
// Transport: one end of socketpair(AF_UNIX, SOCK_SEQPACKET) as the helper's descriptor 3; one request per packet,
// one reply per packet, in order. Requests are at most 256 bytes, replies at most 512.
//
// Request: ASCII "TOKEN VERB [ARG...]", fields separated by single spaces, one optional trailing "\n".
//   TOKEN    1 to 10 decimal digits, value 1..4294967295 (leading zeros tolerated within the ten digits).
//   VERB     hello | dhcp-relay PORT | arp-relay | echo-open | install-begin IFINDEX ADDRESS MAC |
//            assign-echo ADDRESS IDENT SEQUENCE [HEX] | install-end ADDRESS | cleanup
//   PORT     "67" or "68", nothing else.
//   IDENT, SEQUENCE  1 to 5 decimal digits, value 0..65535.
//   HEX      the echo payload: 2 to 128 hex digits (either case), an even count; left out for an empty payload
//            (a field may not be empty).
//   IFINDEX  1 to 10 decimal digits, value 1..2147483647.
//   ADDRESS  exactly four decimal octets 0..255 joined by "."; an octet is "0" or has no leading zero (so that
//            "010" cannot be read as octal by one side and decimal by the other).
//   MAC      "aa:bb:cc:dd:ee:ff": six pairs of hex digits (either case) joined by ":".
// Rejected, with a reason: an empty packet, more than 256 bytes, any byte outside printable ASCII except the one
// final "\n", leading, trailing or doubled spaces, "\r", an unknown verb, a missing or extra argument, and any
// field that breaks the rules above. Whether an address or MAC is acceptable (unicast, not local, ...) is the
// helper's checks, not the parser's.
//
// Reply: "TOKEN CODE TEXT"; CODE 0 is success, otherwise a positive errno value; TEXT is one line without
// control characters. A request whose token cannot be read is answered with token 0. The reply to hello reads
// "camera-setup-helper VERSION caps=LIST", LIST being a comma-separated subset of
// net_raw,net_admin, or "none". Replies never carry a descriptor.
//
// dhcp-relay, arp-relay and echo-open carry exactly one descriptor (SCM_RIGHTS): one end of an AF_UNIX
// SOCK_SEQPACKET socket pair the program made; anything else attached, or a descriptor on another request: EBADF.
// Codes beyond the obvious ones: dhcp-relay of a port already relayed and arp-relay twice: EALREADY. echo-open
// answers "identifier N" (FormatEchoOpened), the identifier the helper picked; beyond 256 channels: EMFILE.
// install-begin: ENODEV (no interface), ENETDOWN, EPROTOTYPE (not Ethernet), EADDRNOTAVAIL (no IPv4 address on
// it), EINVAL (MAC or address class), EPERM (MAC outside the camera ranges, a gateway), EALREADY (begun here),
// EBUSY (begun by another helper), ENOSPC (512 addresses being installed on the PC, or the user's share of 256).
// install-begin starts the ARP probes for the address (kHelperProbeDecideMs) and answers without waiting for
// them; the first assign-echo waits for what is left, and when another MAC answered, that and every later
// assign-echo for the address is refused with EADDRINUSE naming the MAC, and no frame goes to the camera.
// assign-echo and install-end of an address not begun here: ENOENT; assign-echo beyond its rate: EBUSY; with an
// identifier that is neither one of this helper's channels nor an ICMP socket of the caller's uid: EACCES.
// cleanup answers EBUSY "removed N, M could not be removed" when the kernel refused some removals. When the
// system's addresses or routes cannot be read, the request is refused with EIO.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "MacAddress.h"

constexpr size_t kHelperMaxRequest = 256;
constexpr size_t kHelperMaxReply = 512;
// The descriptor of the helper's end of the socket pair.
constexpr int kHelperSocketFd = 3;
constexpr std::string_view kHelperName = "camera-setup-helper";

// The largest payload of an assign-echo request.
constexpr size_t kHelperMaxAssignPayload = 64;

enum class HelperVerb {
    Hello,
    DhcpRelay,
    ArpRelay,
    EchoOpen,
    InstallBegin,
    AssignEcho,
    InstallEnd,
    Cleanup,
};

// True for the verbs whose request carries exactly one descriptor (SCM_RIGHTS): dhcp-relay, arp-relay, echo-open.
bool HelperVerbTakesDescriptor(HelperVerb verb);

// One parsed request. Only the fields its verb takes are meaningful; addresses are IPv4 in host order.
struct HelperRequest {
    uint32_t token = 0;
    HelperVerb verb = HelperVerb::Hello;
    uint16_t port = 0;             // dhcp-relay
    int interfaceIndex = 0;        // install-begin
    uint32_t address = 0;          // install-begin, assign-echo, install-end
    MacAddress mac;                // install-begin
    uint16_t identifier = 0;       // assign-echo
    uint16_t sequence = 0;         // assign-echo
    std::vector<uint8_t> payload;  // assign-echo, at most kHelperMaxAssignPayload bytes
};

// A request or the reason it was refused. token is the request's token when it could be read, otherwise 0
// (the token to answer with in either case).
struct HelperRequestParse {
    uint32_t token = 0;
    std::optional<HelperRequest> request;
    std::string error;  // set exactly when request is empty
};

HelperRequestParse ParseHelperRequest(std::span<const uint8_t> packet);
HelperRequestParse ParseHelperRequest(std::string_view packet);

// The request text, without a trailing "\n"; at most kHelperMaxRequest bytes for any token (a payload beyond
// kHelperMaxAssignPayload is a programming error and is cut).
std::string FormatHelperRequest(const HelperRequest& request);

// The TEXT of a successful echo-open reply, "identifier N": the identifier the helper picked for the channel,
// as its requests carry it on the wire (network order).
std::string FormatEchoOpened(uint16_t identifier);
std::optional<uint16_t> ParseEchoOpened(std::string_view text);

struct HelperReply {
    uint32_t token = 0;
    int code = 0;  // 0 or a positive errno value
    std::string text;
};

// "TOKEN CODE TEXT". Control characters in text become '?', and text is cut so that the reply fits
// kHelperMaxReply bytes.
std::string FormatHelperReply(uint32_t token, int code, std::string_view text);

// Tolerates a trailing "\n" and an empty TEXT ("TOKEN CODE"). Rejects more than kHelperMaxReply bytes, a token
// above 4294967295, a code that is not 0..4095, and control characters in TEXT.
std::optional<HelperReply> ParseHelperReply(std::span<const uint8_t> packet);
std::optional<HelperReply> ParseHelperReply(std::string_view packet);

// What a hello reply says: the helper's version and the capabilities in its permitted set.
struct HelperHello {
    std::string version;
    bool netRaw = false;
    bool netAdmin = false;
};

// The TEXT of a hello reply; nothing when it is not of that form or names an unknown capability.
std::optional<HelperHello> ParseHelperHello(std::string_view text);
// The TEXT the helper sends for hello.
std::string FormatHelperHello(const HelperHello& hello);

// Relay records: what the helper writes into a descriptor the program attached (dhcp-relay, arp-relay, echo-open),
// and the echo requests the program writes into an echo channel. One record per packet: a 16-byte header, all
// multi-byte fields in network byte order, then the payload up to the end of the packet.
//   0 kind, 1 reserved (0), 2 sequence, 4 interface index or errno, 8 IPv4 address, 12 source port, 14 dest port.
constexpr size_t kRelayHeaderSize = 16;
// The largest echo payload the program may put into an echo request record.
constexpr size_t kRelayMaxEchoPayload = 1024;

enum RelayKind : uint8_t {
    kRelayDhcp = 1,         // interface: arrival; address: IPv4 source; ports: UDP source and 67/68; payload: UDP
    kRelayArp = 2,          // interface: arrival; payload: the ARP packet from its header on
    kRelayIcmp = 3,         // address: the message's sender; payload: the ICMP message without the IP header
    kRelayEchoRequest = 4,  // program to helper: sequence; address: destination; payload: echo data
    kRelayError = 5,        // interface: the errno; address: the destination the request was for
};

struct RelayRecord {
    uint8_t kind = 0;
    uint16_t sequence = 0;
    uint32_t interfaceIndex = 0;  // kind 5: the errno
    uint32_t address = 0;         // host order
    uint16_t sourcePort = 0;
    uint16_t destinationPort = 0;
    std::span<const uint8_t> payload;
};

std::vector<uint8_t> FormatRelayRecord(const RelayRecord& record);
// Nothing for a packet shorter than the header or of an unknown kind. payload views into packet.
std::optional<RelayRecord> ParseRelayRecord(std::span<const uint8_t> packet);
