#include "FileTransfer.h"

#include <curl/curl.h>

#include <sys/stat.h>
#include <cstdio>
#include <mutex>

namespace {

CURL* Handle(void* curl) {
    return static_cast<CURL*>(curl);
}

size_t WriteToFile(char* data, size_t size, size_t count, void* file) {
    return std::fwrite(data, size, count, static_cast<FILE*>(file));
}

size_t ReadFromFile(char* data, size_t size, size_t count, void* file) {
    return std::fread(data, size, count, static_cast<FILE*>(file));
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
    curl_easy_reset(curl);
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
    m_errorBuffer[0] = '\0';
}

CurlFileTransfer::Result CurlFileTransfer::Perform(std::string& error) {
    const CURLcode code = curl_easy_perform(Handle(m_curl));
    if (code == CURLE_OK) {
        return Result::Ok;
    }
    error = std::string(curl_easy_strerror(code)) + " (" + std::to_string(code) + ")";
    if (m_errorBuffer[0] != '\0') {
        error += ": ";
        error += m_errorBuffer;
    }
    return code == CURLE_LOGIN_DENIED ? Result::LoginDenied : Result::Failed;
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
    return Perform(error);
}

CurlFileTransfer::Result CurlFileTransfer::Download(const std::string& remoteName, const std::string& localPath,
                                                    std::string& error) {
    if (m_curl == nullptr) {
        error = "not open";
        return Result::Failed;
    }
    FILE* file = std::fopen(localPath.c_str(), "wb");
    if (file == nullptr) {
        error = "cannot create " + localPath;
        return Result::Failed;
    }
    Prepare(remoteName);
    curl_easy_setopt(Handle(m_curl), CURLOPT_WRITEFUNCTION, WriteToFile);
    curl_easy_setopt(Handle(m_curl), CURLOPT_WRITEDATA, file);
    Result result = Perform(error);
    if (std::fclose(file) != 0 && result == Result::Ok) {
        error = "cannot write " + localPath;
        result = Result::Failed;
    }
    if (result != Result::Ok) {
        std::remove(localPath.c_str());
    }
    return result;
}

CurlFileTransfer::Result CurlFileTransfer::Upload(const std::string& localPath, const std::string& remoteName,
                                                  std::string& error) {
    if (m_curl == nullptr) {
        error = "not open";
        return Result::Failed;
    }
    FILE* file = std::fopen(localPath.c_str(), "rb");
    if (file == nullptr) {
        error = "cannot open " + localPath;
        return Result::Failed;
    }
    struct stat info {};
    fstat(fileno(file), &info);
    Prepare(remoteName);
    curl_easy_setopt(Handle(m_curl), CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(Handle(m_curl), CURLOPT_READFUNCTION, ReadFromFile);
    curl_easy_setopt(Handle(m_curl), CURLOPT_READDATA, file);
    curl_easy_setopt(Handle(m_curl), CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(info.st_size));
    const Result result = Perform(error);
    std::fclose(file);
    return result;
}

void CurlFileTransfer::Close() {
    if (m_curl != nullptr) {
        curl_easy_cleanup(Handle(m_curl));
        m_curl = nullptr;
    }
}
