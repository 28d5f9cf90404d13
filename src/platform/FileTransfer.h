#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "StopSignal.h"

// An FTP session: log in once, fetch and store whole files in binary mode, in memory (nothing is written to
// the local disk, so no ending of the process can leave a file behind). One object serves one installation
// and one thread.
class FileTransfer {
  public:
    enum class Result {
        Ok,
        LoginDenied,
        Failed,       // for an upload: refused or broken off before the server accepted it; its file is untouched
        Interrupted,  // an upload broke off after the server accepted it: the server's file may be cut short
    };

    // A fetched file and the size the server announced for it (SIZE, or the transfer's opening reply).
    struct Fetched {
        std::string bytes;
        std::optional<uint64_t> announcedSize;
    };

    // A file larger than this is refused rather than held in memory.
    static constexpr size_t kMaxFileBytes = 1024 * 1024;

    virtual ~FileTransfer() = default;

    // Prepares the client (the "Internet handle"). False when the library cannot be set up.
    virtual bool Open(std::string& error) = 0;
    // Connects to host:port and logs in. LoginDenied when the server refused the user or password.
    virtual Result Connect(const std::string& host, uint16_t port, const std::string& user, const std::string& password,
                           std::string& error) = 0;
    // Fetches remoteName whole into `fetched` (replacing what it held). Failed when the transfer fails or the file
    // is larger than kMaxFileBytes; a control connection lost after the whole announced size arrived is Ok. Whether
    // the bytes are all the server announced is otherwise the caller's to judge.
    virtual Result Download(const std::string& remoteName, Fetched& fetched, std::string& error) = 0;
    // Stores `bytes` on the server as remoteName: Ok, Failed or Interrupted.
    virtual Result Upload(std::string_view bytes, const std::string& remoteName, std::string& error) = 0;
    // Ends the session at once, without waiting for the server to acknowledge the goodbye (a camera that restarts
    // once it has its file never does); harmless when none is open.
    virtual void Close() = 0;
    // From now on a stop request ends a login or transfer early (Failed), short of cutting a store under way.
    virtual void InterruptOn(const StopSignal&) {}
};

// libcurl. Call InitFileTransferLibrary() once on the main thread before any other thread starts.
//
// Data connections are passive (EPSV, then PASV). When the server refuses both, the same transfer is made once
// more in active mode (PORT) on the same control connection, and the session stays active after that.
class CurlFileTransfer : public FileTransfer {
  public:
    struct Timeouts {
        long connectSeconds = 10;
        long serverResponseSeconds = 15;
        long lowSpeedSeconds = 15;  // a transfer slower than 1 byte/s for this long is abandoned
    };

    CurlFileTransfer() = default;
    explicit CurlFileTransfer(Timeouts timeouts) : m_timeouts(timeouts) {}
    ~CurlFileTransfer() override;
    CurlFileTransfer(const CurlFileTransfer&) = delete;
    CurlFileTransfer& operator=(const CurlFileTransfer&) = delete;

    bool Open(std::string& error) override;
    Result Connect(const std::string& host, uint16_t port, const std::string& user, const std::string& password,
                   std::string& error) override;
    Result Download(const std::string& remoteName, Fetched& fetched, std::string& error) override;
    Result Upload(std::string_view bytes, const std::string& remoteName, std::string& error) override;
    void Close() override;
    void InterruptOn(const StopSignal& stop) override { m_stop = &stop; }

    // Whether the session has fallen back to active mode.
    bool Active() const { return m_active; }

    static constexpr const char* kAgent = "VavEru Utility";

  private:
    struct Outcome {
        int code;  // CURLcode
        Result result;
    };
    Outcome Perform(std::string& error, const bool* storeSent = nullptr);
    void Prepare(const std::string& remoteName);

    Timeouts m_timeouts;
    void* m_curl = nullptr;  // CURL*, kept for its connection cache between the transfers of one session
    std::string m_base;      // "ftp://host:port/"
    std::string m_user;
    std::string m_password;
    bool m_active = false;
    const StopSignal* m_stop = nullptr;
    char m_errorBuffer[256] = {};
};

// curl_global_init, once per process; safe to call again.
void InitFileTransferLibrary();
