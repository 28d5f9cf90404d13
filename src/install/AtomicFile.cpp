#include "AtomicFile.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

int LastError() {
    return errno != 0 ? errno : EIO;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, std::string_view bytes, AtomicWrite how, std::string* cause) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string temporary = folder + "/." + path.substr(slash == std::string::npos ? 0 : slash + 1) + ".XXXXXX";
    int code = 0;
    const int fd = mkstemp(temporary.data());  // 0600
    if (fd < 0) {
        code = LastError();
    } else {
        errno = 0;
        if (!WriteAll(fd, bytes) || fsync(fd) != 0) {
            code = LastError();
        }
        if (close(fd) != 0 && code == 0) {
            code = LastError();
        }
        if (code == 0) {
            const bool moved = how == AtomicWrite::Replace ? rename(temporary.c_str(), path.c_str()) == 0
                                                           : link(temporary.c_str(), path.c_str()) == 0;
            code = moved ? 0 : LastError();
        }
        if (code != 0 || how == AtomicWrite::CreateOnly) {
            unlink(temporary.c_str());  // a link made leaves the name to remove; a rename made leaves none
        }
    }
    if (code == 0) {
        const int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folderFd < 0 || fsync(folderFd) != 0) {
            code = LastError();
        }
        if (folderFd >= 0) {
            close(folderFd);
        }
    }
    if (code != 0) {
        *cause = path + ": " + std::strerror(code);
        errno = code;
        return false;
    }
    return true;
}
