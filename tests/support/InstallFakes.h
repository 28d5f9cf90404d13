#pragma once

// Scripted stand-ins for everything an InstallWorker's Platform and InstallUi reach, logging what they are asked.
// One set per installation: they are not shared between threads.

#include <algorithm>
#include <cerrno>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ConfigFileRewrite.h"
#include "EchoRequest.h"
#include "InstallWorker.h"
#include "Ipv4Text.h"

constexpr uint32_t kCameraAddress = 0xC0A80A32;   // 192.168.10.50
constexpr uint32_t kNewAddress = 0xC0A80A64;      // 192.168.10.100
constexpr uint32_t kForeignAddress = 0x0A0A0A0A;  // 10.10.10.10
constexpr const char* kMac = "00-1A-2B-3C-4D-5E";
constexpr int kLanInterface = 4;
constexpr uint16_t kIdentifier = 0x1234;
constexpr uint16_t kKernelIdentifier = 0x4321;  // what a datagram socket puts on the wire instead

// Everything the fakes see, in order, so tests can check the sequence of the whole installation.
struct Log {
    std::vector<std::string> events;
    std::function<void(const std::string&)> onEvent;  // a test's hook, run as each event happens
    // The last echo request on the wire, whichever way it went; the fake camera answers it.
    std::vector<uint8_t> request;
    uint32_t destination = 0;
    bool toCamera = false;  // sent by the helper straight to the camera: its identifier is as asked for
    void Add(std::string event) {
        events.push_back(std::move(event));
        if (onEvent) {
            onEvent(events.back());
        }
    }
    bool Has(const std::string& event) const { return std::find(events.begin(), events.end(), event) != events.end(); }
    std::vector<std::string> Matching(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const auto& e : events) {
            if (e.rfind(prefix, 0) == 0) {
                found.push_back(e);
            }
        }
        return found;
    }
};

class FakeClock : public Clock {
  public:
    explicit FakeClock(Log& log) : m_log(log) {}
    uint32_t TickCountMs() override { return m_now; }
    void SleepMs(uint32_t ms) override {
        m_now += ms;
        m_slept += ms;
        m_log.Add("sleep " + std::to_string(ms));
    }
    uint32_t m_now = 0xFFFFF000u;  // wraps during the run
    uint64_t m_slept = 0;

  private:
    Log& m_log;
};

// What the channel does on each receive: answer, time out, fail, or deliver a packet that is no answer (300 ms
// into the wait). Runs out into time-outs.
struct Step {
    enum Kind {
        Answer,
        Silence,
        Fail,
        SendFail,
        SendFailReported,  // the channel learns of a failed send while it waits (the helper's channel)
        SendTimeout,
        OtherSender,
        OtherIdentifier,
        EchoRequestIn,
        Unreachable,
        LateReply,
        ShortReply,
    } kind;
};

class FakeChannel : public EchoChannel {
  public:
    FakeChannel(Log& log, std::deque<Step> script, FakeClock& clock, bool datagram, std::vector<int>& waits)
        : m_log(log), m_script(std::move(script)), m_clock(clock), m_datagram(datagram), m_waits(waits) {}
    Result Send(uint32_t destination, std::span<const uint8_t> message) override {
        m_log.Add("send " + FormatDottedAddress(destination) + " seq " +
                  std::to_string(message[6] | (message[7] << 8)));
        m_log.request.assign(message.begin(), message.end());
        m_log.destination = destination;
        m_log.toCamera = false;
        if (!m_script.empty() && m_script.front().kind == Step::SendFail) {
            m_script.pop_front();
            return {Status::Error, 101, 0};
        }
        if (!m_script.empty() && m_script.front().kind == Step::SendTimeout) {
            m_script.pop_front();
            return {Status::TimedOut, 11, 0};
        }
        return {Status::Ok, 0, message.size()};
    }
    Result Receive(std::span<uint8_t> buffer, uint32_t& sender, int timeoutMs) override {
        m_waits.push_back(timeoutMs);
        Step step{Step::Silence};
        if (!m_script.empty()) {
            step = m_script.front();
            m_script.pop_front();
        }
        if (step.kind == Step::Fail) {
            return {Status::Error, 104, 0};
        }
        if (step.kind == Step::SendFailReported) {
            return {Status::SendFailed, 101, 0};
        }
        // A reply with another identifier never reaches this socket or channel.
        const uint16_t identifier = ReplyIdentifier();
        const bool delivered =
            !m_log.toCamera || (m_log.request[4] == (identifier & 0xFF) && m_log.request[5] == (identifier >> 8));
        if (step.kind == Step::Silence || step.kind == Step::SendFail || step.kind == Step::SendTimeout || !delivered) {
            m_clock.m_now += static_cast<uint32_t>(timeoutMs);
            return {Status::TimedOut, 11, 0};
        }
        m_clock.m_now += step.kind == Step::Answer ? 5 : 300;
        // The request's ICMP message turned into a reply (behind an IP header on a raw socket), then spoilt.
        const size_t header = m_datagram ? 0 : 20;
        std::vector<uint8_t> packet(header + EchoRequest::kSize, 0);
        packet[0] = m_datagram ? 0 : 0x45;  // type 0, or the IP header's version and length
        std::copy(m_log.request.begin() + 1, m_log.request.end(), packet.begin() + static_cast<long>(header) + 1);
        packet[header + 4] = static_cast<uint8_t>(identifier & 0xFF);
        packet[header + 5] = static_cast<uint8_t>(identifier >> 8);
        sender = m_log.destination;
        switch (step.kind) {
            case Step::OtherSender:
                sender = kCameraAddress;
                break;
            case Step::OtherIdentifier:  // on a datagram socket: the identifier the request was built with
                packet[header + 4] = m_datagram ? kIdentifier & 0xFF : 0x99;
                packet[header + 5] = m_datagram ? kIdentifier >> 8 : 0x99;
                break;
            case Step::EchoRequestIn:
                packet[header] = 8;
                sender = kForeignAddress;
                break;
            case Step::Unreachable:  // the PC's own "host unreachable"
                packet[header] = 3;
                packet[header + 1] = 1;
                sender = 0xC0A80A02;
                break;
            case Step::LateReply:
                --packet[header + 6];
                break;
            case Step::ShortReply:
                packet.resize(header + 6);
                break;
            default:
                break;
        }
        std::copy(packet.begin(), packet.end(), buffer.begin());
        return {Status::Ok, 0, packet.size()};
    }
    bool DeliversIpHeader() const override { return !m_datagram; }
    uint16_t ReplyIdentifier() const override { return m_datagram ? kKernelIdentifier : kIdentifier; }

  private:
    Log& m_log;
    std::deque<Step> m_script;
    FakeClock& m_clock;
    bool m_datagram;
    std::vector<int>& m_waits;
};

// The helper's side of the assignment: an address must be begun before echo requests go to its camera.
class FakeAssignment : public CameraAssignment {
  public:
    explicit FakeAssignment(Log& log) : m_log(log) {}
    std::optional<int> InterfaceForSubnet(uint32_t address) override {
        if ((address & 0xFFFFFF00u) == 0xC0A80A00u) {
            return kLanInterface;
        }
        return std::nullopt;
    }
    std::optional<NeighbourEntry> Lookup(uint32_t address) override {
        m_log.Add("neigh get " + FormatDottedAddress(address));
        return m_kernelEntry;
    }
    int Begin(int interfaceIndex, uint32_t address, const MacAddress& mac, std::string& error) override {
        m_log.Add("install begin " + std::to_string(interfaceIndex) + " " + FormatDottedAddress(address) + " " +
                  std::to_string(mac.Octets()[5]));
        if (m_beginRefusal != 0) {
            error = "refused";
            return m_beginRefusal;
        }
        m_begun[address] = interfaceIndex;
        return 0;
    }
    int SendAssignEcho(uint32_t address, uint16_t identifier, uint16_t sequence, std::span<const uint8_t> payload,
                       std::string& error) override {
        // The helper's frame: type 8, code 0, then identifier and sequence as given, in network order.
        // Sized first: GCC 12 misreads an insert of a span at the end of a small vector (-Warray-bounds).
        std::vector<uint8_t> message(8 + payload.size());
        message[0] = 8;
        message[4] = static_cast<uint8_t>(identifier >> 8);
        message[5] = static_cast<uint8_t>(identifier & 0xFF);
        message[6] = static_cast<uint8_t>(sequence >> 8);
        message[7] = static_cast<uint8_t>(sequence & 0xFF);
        std::copy(payload.begin(), payload.end(), message.begin() + 8);
        m_log.Add("send " + FormatDottedAddress(address) + " seq " + std::to_string(message[6] | (message[7] << 8)) +
                  " to the camera");
        if (!m_begun.contains(address)) {
            error = "not begun";
            return ENOENT;
        }
        if (m_echoRefusal != 0) {
            error = "refused";
            return m_echoRefusal;
        }
        m_log.request = std::move(message);
        m_log.destination = address;
        m_log.toCamera = true;
        return 0;
    }
    bool End(uint32_t address, std::string&) override {
        m_log.Add("install end " + FormatDottedAddress(address));
        m_begun.erase(address);
        return true;
    }
    std::optional<NeighbourEntry> m_kernelEntry;
    std::map<uint32_t, int> m_begun;
    int m_beginRefusal = 0;
    int m_echoRefusal = 0;

  private:
    Log& m_log;
};

class FakeTransfer : public FileTransfer {
  public:
    explicit FakeTransfer(Log& log) : m_log(log) {}
    bool Open(std::string&) override {
        m_log.Add("ftp open");
        return m_openOk;
    }
    Result Connect(const std::string& host, uint16_t port, const std::string& user, const std::string& password,
                   std::string& error) override {
        m_log.Add("ftp connect " + host + ":" + std::to_string(port) + " " + user + " " + password);
        error = "refused";
        return password == m_password && port == m_port ? Result::Ok : Result::LoginDenied;
    }
    Result Download(const std::string& remote, Fetched& fetched, std::string&) override {
        m_log.Add("ftp get " + remote);
        if (m_stored) {
            // The read-back after the restart: what the camera made of the upload.
            if (!m_readBackOk) {
                return Result::Failed;
            }
            fetched.bytes = m_readBack ? m_readBack(*m_stored) : *m_stored;
            fetched.announcedSize.reset();
            return Result::Ok;
        }
        if (!m_downloadOk) {
            return Result::Failed;
        }
        fetched.bytes = m_remoteFile.substr(0, m_delivered);
        fetched.announcedSize = m_announced;
        return Result::Ok;
    }
    // Each upload takes the next scripted result (Ok once the script is used up).
    Result Upload(std::string_view bytes, const std::string& remote, std::string& error) override {
        m_log.Add("ftp put " + remote);
        m_puts.emplace_back(bytes);
        Result result = Result::Ok;
        if (!m_uploadResults.empty()) {
            result = m_uploadResults.front();
            m_uploadResults.pop_front();
        }
        error = "upload broke off";
        if (result == Result::Ok) {
            m_stored = std::string(bytes);
        }
        return result;
    }
    void Close() override {}

    std::string m_password = "001A2B3C4D5E";
    uint16_t m_port = 21;
    bool m_openOk = true;
    bool m_downloadOk = true;
    std::string m_remoteFile = "<subnet mask>\n255.0.0.0\n<reset system>\nNO\nother\n";
    size_t m_delivered = std::string::npos;  // bytes of m_remoteFile that a download brings
    std::optional<uint64_t> m_announced;
    std::deque<Result> m_uploadResults;
    std::vector<std::string> m_puts;
    std::optional<std::string> m_stored;                        // the last upload the camera took
    std::function<std::string(const std::string&)> m_readBack;  // how the camera keeps it; nullptr: as uploaded
    bool m_readBackOk = true;

  private:
    Log& m_log;
};

class FakeUi : public InstallUi {
  public:
    explicit FakeUi(Log& log) : m_log(log) {}
    std::optional<InstallParams> RunWizard(const CameraRecord& camera) override {
        m_log.Add("wizard");
        m_request = camera;
        return m_wizardResult;
    }
    void OpenStatus() override { m_log.Add("status open"); }
    void SetStatusText(const std::string& text) override { m_log.Add("text " + text); }
    void SetStatusProgress(int position) override { m_log.Add("progress " + std::to_string(position)); }
    void CloseStatus() override { m_log.Add("status close"); }
    void EndWait() override { m_log.Add("end wait"); }
    void ShowMessage(const std::string& text, const std::string& caption) override {
        m_log.Add("box " + caption + ": " + text);
    }
    bool AskServerSettings(FileTransfer::Result failure, ServerSettings& settings) override {
        m_log.Add("settings " + std::to_string(settings.port) + " " + settings.password +
                  (failure == FileTransfer::Result::LoginDenied ? " denied" : " failed"));
        if (m_answers.empty()) {
            return false;
        }
        settings = m_answers.front();
        m_answers.pop_front();
        return true;
    }
    void UpdateRow(const MacAddress& mac, uint32_t address, bool installed) override {
        m_log.Add("row " + mac.Text() + " " + FormatDottedAddress(address) + (installed ? " installed" : " assigned"));
    }

    std::optional<InstallParams> m_wizardResult;
    std::optional<CameraRecord> m_request;
    std::deque<ServerSettings> m_answers;

  private:
    Log& m_log;
};
