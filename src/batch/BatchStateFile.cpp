#include "BatchStateFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "AtomicFile.h"
#include "Ipv4Text.h"

namespace {

// Far above a record of the largest plan; a bigger file is not one of ours.
constexpr off_t kMaxStateBytes = 16 * 1024 * 1024;

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

std::string Directory(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::optional<QByteArray> ReadAll(int fd, std::string* error, const std::string& path) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        *error = Errno(path);
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode) || status.st_size > kMaxStateBytes) {
        *error = path + ": not a batch record (not a regular file of at most 16 MiB)";
        return std::nullopt;
    }
    QByteArray bytes;
    char buffer[65536];
    while (true) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            *error = Errno(path);
            return std::nullopt;
        }
        if (got == 0) {
            return bytes;
        }
        if (bytes.size() + got > kMaxStateBytes) {
            *error = path + ": not a batch record (larger than 16 MiB)";
            return std::nullopt;
        }
        bytes.append(buffer, static_cast<qsizetype>(got));
    }
}

QJsonObject RecordObject(const BatchCameraStatus& record) {
    QJsonObject object;
    object.insert("target",
                  record.newAddress ? QString::fromStdString(FormatDottedAddress(record.newAddress)) : QString());
    object.insert("state", QString::fromLatin1(BatchCameraStateName(record.state)));
    object.insert("attempts", record.attempts);
    object.insert("reason", QString::fromLatin1(BatchReasonName(record.reason)));
    object.insert("message", QString::fromStdString(record.message));
    object.insert("started", QString::fromStdString(record.started));
    object.insert("ended", QString::fromStdString(record.ended));
    return object;
}

// Nothing, with the reason, when a field is missing or of the wrong kind.
std::optional<BatchCameraStatus> ParseRecord(const MacAddress& mac, const QJsonObject& object, std::string* reason) {
    for (const char* field : {"target", "state", "message", "started", "ended"}) {
        if (!object.value(QLatin1String(field)).isString()) {
            *reason = std::string("\"") + field + "\" is not text";
            return std::nullopt;
        }
    }
    BatchCameraStatus record;
    record.mac = mac;
    const std::string target = object.value("target").toString().toStdString();
    if (!target.empty()) {
        const auto address = ParseStrictDottedAddress(target);
        if (!address) {
            *reason = "\"target\" is not an address";
            return std::nullopt;
        }
        record.newAddress = *address;
    }
    const auto state = ParseBatchCameraState(object.value("state").toString().toStdString());
    if (!state) {
        *reason = "\"state\" is not a known state";
        return std::nullopt;
    }
    record.state = *state;
    const QJsonValue attempts = object.value("attempts");
    if (!attempts.isDouble() || attempts.toDouble() != attempts.toInt(-1) || attempts.toInt() < 0) {
        *reason = "\"attempts\" is not a count";
        return std::nullopt;
    }
    record.attempts = attempts.toInt();
    // Records from before reasons existed have none.
    const auto why = ParseBatchReason(object.value("reason").toString().toStdString());
    if (!why) {
        *reason = "\"reason\" is not a known reason";
        return std::nullopt;
    }
    record.reason = *why;
    record.message = object.value("message").toString().toStdString();
    record.started = object.value("started").toString().toStdString();
    record.ended = object.value("ended").toString().toStdString();
    return record;
}

// What the file keeps of a status.
BatchCameraStatus Kept(BatchCameraStatus status) {
    status.oldAddress = 0;
    status.progress = 0;
    return status;
}

}  // namespace

BatchStateFile::BatchStateFile(std::string path) : m_path(std::move(path)) {}

bool BatchStateFile::Load(std::string* error) {
    std::lock_guard lock(m_mutex);
    m_cameras.clear();
    if (m_path.empty()) {
        return true;
    }
    m_refused = true;  // until the file is read as a record
    const int fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) {
            *error = Errno(m_path);
            return false;
        }
        struct stat status {};
        if (::stat(Directory(m_path).c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
            *error = m_path + ": its folder does not exist";
            return false;
        }
        m_refused = false;
        return true;
    }
    const auto bytes = ReadAll(fd, error, m_path);
    ::close(fd);
    if (!bytes) {
        return false;
    }
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(*bytes, &parseError);
    const auto refuse = [&](const std::string& reason) {
        *error = m_path + ": not a batch record (" + reason + ")";
        m_cameras.clear();
        return false;
    };
    if (document.isNull()) {
        return refuse(parseError.errorString().toStdString());
    }
    if (!document.isObject() || document.object().value("version").toInt() != 1 ||
        !document.object().value("cameras").isObject()) {
        return refuse("no version 1 object with \"cameras\"");
    }
    const QJsonObject cameras = document.object().value("cameras").toObject();
    for (auto it = cameras.begin(); it != cameras.end(); ++it) {
        const std::string key = it.key().toStdString();
        const auto mac = MacAddress::Parse(key, "-");
        if (!mac || !it.value().isObject()) {
            return refuse("camera \"" + key + "\"");
        }
        std::string reason;
        const auto record = ParseRecord(*mac, it.value().toObject(), &reason);
        if (!record) {
            return refuse("camera " + key + ": " + reason);
        }
        m_cameras[*mac] = *record;
    }
    m_refused = false;
    return true;
}

std::optional<BatchCameraStatus> BatchStateFile::Find(const MacAddress& mac) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_cameras.find(mac);
    if (it == m_cameras.end()) {
        return std::nullopt;
    }
    return it->second;
}

bool BatchStateFile::Put(const BatchCameraStatus& status, std::string* error) {
    return PutAll({{status.mac, status}}, error);
}

bool BatchStateFile::PutAll(const std::map<MacAddress, BatchCameraStatus>& statuses, std::string* error) {
    uint64_t change = 0;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [mac, status] : statuses) {
            m_cameras[mac] = Kept(status);
        }
        if (m_path.empty()) {
            return true;
        }
        if (m_refused) {
            *error = m_path + ": not written, it could not be read as a batch record";
            return false;
        }
        change = ++m_changes;
    }
    // Each write costs two fsyncs: a write covers every change stored before it started.
    std::lock_guard writeLock(m_writeMutex);
    if (m_written < change) {
        std::string text;
        uint64_t covered = 0;
        {
            std::lock_guard lock(m_mutex);
            text = SerializeLocked();
            covered = m_changes;
        }
        m_writeError.clear();
        Save(text, &m_writeError);
        m_written = covered;
    }
    if (!m_writeError.empty()) {
        *error = m_writeError;
        return false;
    }
    return true;
}

bool BatchStateFile::Save(const std::string& text, std::string* error) {
    // Either the old or the new text, whatever happens.
    std::string cause;
    if (!WriteFileAtomically(m_path, text, AtomicWrite::Replace, &cause)) {
        *error = "cannot write " + cause;
        return false;
    }
    return true;
}

std::string BatchStateFile::SerializeLocked() const {
    QJsonObject cameras;
    for (const auto& [mac, record] : m_cameras) {
        cameras.insert(QString::fromStdString(mac.Text()), RecordObject(record));
    }
    QJsonObject root;
    root.insert("version", 1);
    root.insert("cameras", cameras);
    return QJsonDocument(root).toJson(QJsonDocument::Indented).toStdString();
}
