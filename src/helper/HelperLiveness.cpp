#include "HelperLiveness.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace {

constexpr int kBacklog = 4096;

socklen_t NameOf(uint32_t token, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    char name[40];
    const int length = std::snprintf(name, sizeof name, "camera-setup-helper/%08x", token);
    std::memcpy(address.sun_path + 1, name, static_cast<size_t>(length));  // sun_path[0] = 0: abstract
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(length));
}

// The value after "Name:" on its own line; nothing when absent.
std::optional<std::string_view> Field(std::string_view status, std::string_view name) {
    for (size_t at = 0; at < status.size();) {
        const size_t end = std::min(status.find('\n', at), status.size());
        const std::string_view line = status.substr(at, end - at);
        if (line.size() > name.size() && line.starts_with(name) && line[name.size()] == ':') {
            std::string_view value = line.substr(name.size() + 1);
            while (!value.empty() && (value.front() == '\t' || value.front() == ' ')) {
                value.remove_prefix(1);
            }
            return value;
        }
        at = end + 1;
    }
    return std::nullopt;
}

std::string ReadStatus(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    std::string text(4096, '\0');
    const ssize_t length = read(fd, text.data(), text.size());
    close(fd);
    text.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return text;
}

}  // namespace

bool StatusIsHelpers(std::string_view status, uint32_t uid) {
    const auto noNewPrivs = Field(status, "NoNewPrivs");
    const auto permitted = Field(status, "CapPrm");
    const auto uids = Field(status, "Uid");
    uint64_t caps = 0;
    if (!noNewPrivs || *noNewPrivs != "1" || !permitted || permitted->size() != 16 || !uids ||
        uids->substr(0, uids->find('\t')) != std::to_string(uid)) {
        return false;
    }
    const auto [end, error] = std::from_chars(permitted->data(), permitted->data() + permitted->size(), caps, 16);
    return error == std::errc() && end == permitted->data() + permitted->size() &&
           (caps & (uint64_t{1} << CAP_NET_ADMIN)) != 0;
}

HelperLiveness::~HelperLiveness() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

bool HelperLiveness::Open(std::string& error) {
    m_fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    for (int attempt = 0; attempt < 64; ++attempt) {
        uint32_t token = 0;
        if (getrandom(&token, sizeof token, 0) != sizeof token) {
            error = std::string("getrandom: ") + std::strerror(errno);
            return false;
        }
        if (token == 0) {
            continue;  // the metric an untagged route has
        }
        sockaddr_un address;
        const socklen_t length = NameOf(token, address);
        if (bind(m_fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
            if (listen(m_fd, kBacklog) != 0) {
                error = std::string("listen: ") + std::strerror(errno);
                return false;
            }
            m_token = token;
            return true;
        }
        if (errno != EADDRINUSE) {
            error = std::string("bind: ") + std::strerror(errno);
            return false;
        }
    }
    error = "no free token";
    return false;
}

void HelperLiveness::AcceptAll() {
    int connection;
    while ((connection = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0) {
        close(connection);
    }
}

bool HelperLiveness::IsAlive(uint32_t token) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return true;
    }
    sockaddr_un address;
    const socklen_t length = NameOf(token, address);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        const int error = errno;
        close(fd);
        // Nobody listens there; anything else (a full backlog) is a doubt.
        return error != ECONNREFUSED && error != ENOENT;
    }
    ucred peer{};
    socklen_t size = sizeof peer;
    const bool named = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0;
    close(fd);
    if (!named || peer.pid <= 0) {
        return true;  // in a PID namespace this one cannot see into
    }
    return StatusIsHelpers(ReadStatus(peer.pid), peer.uid);
}
