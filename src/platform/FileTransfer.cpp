#include "FileTransfer.h"

#include <curl/curl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

CURL* Handle(void* curl) {
    return static_cast<CURL*>(curl);
}

struct Sink {
    std::string& bytes;
    bool tooLarge = false;
};

size_t WriteToMemory(char* data, size_t size, size_t count, void* userdata) {
    Sink& sink = *static_cast<Sink*>(userdata);
    const size_t length = size * count;
    if (length > FileTransfer::kMaxFileBytes - sink.bytes.size()) {
        sink.tooLarge = true;
        return 0;  // libcurl ends the transfer with CURLE_WRITE_ERROR
    }
    sink.bytes.append(data, length);
    return length;
}

struct Source {
    std::string_view bytes;
    size_t offset = 0;
    bool storeSent = false;  // from here on the server may have opened (and emptied) its file
    bool accepted = false;   // the server took the store command
};

size_t ReadFromMemory(char* data, size_t size, size_t count, void* userdata) {
    Source& source = *static_cast<Source*>(userdata);
    const size_t length = std::min(size * count, source.bytes.size() - source.offset);
    std::memcpy(data, source.bytes.data() + source.offset, length);
    source.offset += length;
    return length;
}

// libcurl hands every FTP control reply line to the header callback. A preliminary reply (1xx) opens a transfer.
size_t WatchReplies(char* data, size_t size, size_t count, void* userdata) {
    const size_t length = size * count;
    if (length >= 3 && data[0] == '1' && data[1] >= '0' && data[1] <= '9' && data[2] >= '0' && data[2] <= '9') {
        static_cast<Source*>(userdata)->accepted = true;
    }
    return length;
}

// Sees the commands libcurl sends (it calls this only with CURLOPT_VERBOSE; nothing is printed).
int WatchCommands(CURL*, curl_infotype type, char* data, size_t size, void* userdata) {
    if (type == CURLINFO_HEADER_OUT && size >= 5 && std::memcmp(data, "STOR ", 5) == 0) {
        static_cast<Source*>(userdata)->storeSent = true;
    }
    return 0;
}

// Ends a transfer (CURLE_ABORTED_BY_CALLBACK) once a stop is requested, but never an upload whose store command
// has gone out: cut there, it would leave the server a cut file.
struct Interrupt {
    const StopSignal* stop = nullptr;
    const bool* storeSent = nullptr;
};

int AbortWhenStopped(void* clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const Interrupt& interrupt = *static_cast<const Interrupt*>(clientp);
    return interrupt.stop->Requested() && (interrupt.storeSent == nullptr || !*interrupt.storeSent) ? 1 : 0;
}

// The server refused EPSV and PASV (or answered PASV with nothing usable).
bool PassiveRefused(int code) {
    return code == CURLE_FTP_WEIRD_PASV_REPLY || code == CURLE_FTP_WEIRD_227_FORMAT;
}

// How libcurl ends a transfer whose control connection went away after the data connection closed.
bool ClosedAfterData(int code) {
    return code == CURLE_RECV_ERROR || code == CURLE_SEND_ERROR || code == CURLE_GOT_NOTHING ||
           code == CURLE_FTP_WEIRD_SERVER_REPLY || code == CURLE_OPERATION_TIMEDOUT || code == CURLE_PARTIAL_FILE;
}

}  // namespace

void InitFileTransferLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CurlFileTransfer::~CurlFileTransfer() {
    Close();
}

bool CurlFileTransfer::Open(std::string& error) {
    InitFileTransferLibrary();
    Close();
    m_curl = curl_easy_init();
    if (m_curl == nullptr) {
        error = "curl_easy_init failed";
        return false;
    }
    return true;
}

void CurlFileTransfer::Prepare(const std::string& remoteName) {
    CURL* curl = Handle(m_curl);
    curl_easy_reset(curl);  // keeps the cached control connection
    const std::string url = m_base + remoteName;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "ftp");
    curl_easy_setopt(curl, CURLOPT_USERAGENT, kAgent);
    curl_easy_setopt(curl, CURLOPT_USERNAME, m_user.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, m_password.c_str());
    curl_easy_setopt(curl, CURLOPT_TRANSFERTEXT, 0L);  // binary
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, m_timeouts.connectSeconds);
    curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, m_timeouts.serverResponseSeconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, m_timeouts.lowSpeedSeconds);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, m_errorBuffer);
    if (m_active) {
        curl_easy_setopt(curl, CURLOPT_FTPPORT, "-");  // the address of the control connection
        curl_easy_setopt(curl, CURLOPT_ACCEPTTIMEOUT_MS, m_timeouts.serverResponseSeconds * 1000L);
    }
    m_errorBuffer[0] = '\0';
}

CurlFileTransfer::Outcome CurlFileTransfer::Perform(std::string& error, const bool* storeSent) {
    Interrupt interrupt{m_stop, storeSent};
    if (m_stop != nullptr) {
        curl_easy_setopt(Handle(m_curl), CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(Handle(m_curl), CURLOPT_XFERINFOFUNCTION, AbortWhenStopped);
        curl_easy_setopt(Handle(m_curl), CURLOPT_XFERINFODATA, &interrupt);
    }
    const CURLcode code = curl_easy_perform(Handle(m_curl));
    if (code == CURLE_OK) {
        return {code, Result::Ok};
    }
    error = std::string(curl_easy_strerror(code)) + " (" + std::to_string(code) + ")";
    if (m_errorBuffer[0] != '\0') {
        error += ": ";
        error += m_errorBuffer;
    }
    return {code, code == CURLE_LOGIN_DENIED ? Result::LoginDenied : Result::Failed};
}

CurlFileTransfer::Result CurlFileTransfer::Connect(const std::string& host, uint16_t port, const std::string& user,
                                                   const std::string& password, std::string& error) {
    if (m_curl == nullptr) {
        error = "not open";
        return Result::Failed;
    }
    m_base = "ftp://" + host + ":" + std::to_string(port) + "/";
    m_user = user;
    m_password = password;
    // Logging in without a transfer: the connection stays in the handle's cache for the transfers after it.
    Prepare("");
    curl_easy_setopt(Handle(m_curl), CURLOPT_NOBODY, 1L);
    return Perform(error).result;
}

CurlFileTransfer::Result CurlFileTransfer::Download(const std::string& remoteName, Fetched& fetched,
                                                    std::string& error) {
    if (m_curl == nullptr) {
        error = "not open";
        return Result::Failed;
    }
    for (;;) {
        fetched = Fetched{};
        Sink sink{fetched.bytes};
        Prepare(remoteName);
        CURL* curl = Handle(m_curl);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteToMemory);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
        curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxFileBytes));
        const Outcome outcome = Perform(error);
        if (PassiveRefused(outcome.code) && !m_active) {
            m_active = true;
            continue;
        }
        if (sink.tooLarge || outcome.code == CURLE_FILESIZE_EXCEEDED) {
            error = remoteName + " is larger than " + std::to_string(kMaxFileBytes) + " bytes";
        }
        curl_off_t announced = -1;
        if (curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK && announced >= 0) {
            fetched.announcedSize = static_cast<uint64_t>(announced);
        }
        // A camera that drops its control connection once the file has gone (no final reply, or a reset) still
        // sent all of it: the whole announced size arrived over the data connection.
        if (outcome.result == Result::Failed && !sink.tooLarge && fetched.announcedSize && !fetched.bytes.empty() &&
            fetched.bytes.size() == *fetched.announcedSize && ClosedAfterData(outcome.code)) {
            return Result::Ok;
        }
        if (outcome.result != Result::Ok) {
            fetched.bytes.clear();
        }
        return outcome.result;
    }
}

CurlFileTransfer::Result CurlFileTransfer::Upload(std::string_view bytes, const std::string& remoteName,
                                                  std::string& error) {
    if (m_curl == nullptr) {
        error = "not open";
        return Result::Failed;
    }
    for (;;) {
        Source source{bytes};
        Prepare(remoteName);
        CURL* curl = Handle(m_curl);
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadFromMemory);
        curl_easy_setopt(curl, CURLOPT_READDATA, &source);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, WatchReplies);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &source);
        curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, WatchCommands);
        curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &source);
        curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(bytes.size()));
        const Outcome outcome = Perform(error, &source.storeSent);
        if (PassiveRefused(outcome.code) && !m_active && !source.storeSent) {
            m_active = true;
            continue;
        }
        // Only a refused store command (CURLE_UPLOAD_FAILED) surely left the server's file as it was.
        if (outcome.result != Result::Ok &&
            (source.accepted || (source.storeSent && outcome.code != CURLE_UPLOAD_FAILED))) {
            return Result::Interrupted;
        }
        return outcome.result;
    }
}

void CurlFileTransfer::Close() {
    if (m_curl != nullptr) {
        CURL* curl = Handle(m_curl);
        curl_socket_t control = CURL_SOCKET_BAD;
        if (curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &control) != CURLE_OK) {
            control = CURL_SOCKET_BAD;
        }
        // The last transfer's callbacks point into its stack frame, and libcurl may call them while it closes.
        curl_easy_reset(curl);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        // libcurl's clean-up sends QUIT on a connection it believes sound and waits for the reply, up to the
        // server-response time-out: a camera that restarts the moment it has its file never gives one. Say the
        // goodbye here without waiting and half-close the connection, so the QUIT libcurl then tries fails at
        // once and it just closes the socket.
        if (control != CURL_SOCKET_BAD) {
            static constexpr char kQuit[] = "QUIT\r\n";
            (void)send(control, kQuit, sizeof kQuit - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            shutdown(control, SHUT_WR);
        }
        curl_easy_cleanup(curl);
        m_curl = nullptr;
    }
    m_active = false;
}
