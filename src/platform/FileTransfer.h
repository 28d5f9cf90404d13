#pragma once

#include <cstdint>
#include <string>

// An FTP session: log in once, fetch and store whole files in binary mode. One object serves one installation
// and one thread.
class FileTransfer {
  public:
    enum class Result { Ok, LoginDenied, Failed };

    virtual ~FileTransfer() = default;

    // Prepares the client (the "Internet handle"). False when the library cannot be set up.
    virtual bool Open(std::string& error) = 0;
    // Connects to host:port and logs in. LoginDenied when the server refused the user or password.
    virtual Result Connect(const std::string& host, uint16_t port, const std::string& user, const std::string& password,
                           std::string& error) = 0;
    // Fetches remoteName into localPath (created or truncated). A failed download leaves no local file.
    virtual Result Download(const std::string& remoteName, const std::string& localPath, std::string& error) = 0;
    // Stores localPath on the server as remoteName.
    virtual Result Upload(const std::string& localPath, const std::string& remoteName, std::string& error) = 0;
    // Ends the session; harmless when none is open.
    virtual void Close() = 0;
};

// libcurl. Call InitFileTransferLibrary() once on the main thread before any other thread starts.
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
    Result Download(const std::string& remoteName, const std::string& localPath, std::string& error) override;
    Result Upload(const std::string& localPath, const std::string& remoteName, std::string& error) override;
    void Close() override;

    static constexpr const char* kAgent = "VavEru Utility";

  private:
    Result Perform(std::string& error);
    void Prepare(const std::string& remoteName);

    Timeouts m_timeouts;
    void* m_curl = nullptr;  // CURL*, kept for its connection cache between the transfers of one session
    std::string m_base;      // "ftp://host:port/"
    std::string m_user;
    std::string m_password;
    char m_errorBuffer[256] = {};
};

// curl_global_init, once per process; safe to call again.
void InitFileTransferLibrary();
