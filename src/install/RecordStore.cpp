#include "RecordStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "AtomicFile.h"
#include "Ipv4Text.h"

namespace {

constexpr const char* kRecordSuffix = ".json";
constexpr const char* kPreviousSuffix = "-previous.ini";
constexpr const char* kWrittenSuffix = "-written.ini";

std::string Cause(const std::string& path, int code) {
    return path + ": " + std::strerror(code);
}

// Creates the folder 0700 when missing; our own two levels are narrowed to 0700 when found wider.
bool MakeDirectory(const std::string& path, bool ours, std::string* error) {
    if (mkdir(path.c_str(), 0700) == 0) {
        return true;
    }
    if (errno != EEXIST) {
        *error = Cause(path, errno);
        return false;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = path + ": not a folder";
        return false;
    }
    if (ours && (st.st_mode & 077) != 0 && st.st_uid == geteuid() && chmod(path.c_str(), 0700) != 0) {
        *error = Cause(path, errno);
        return false;
    }
    return true;
}

QJsonValue Address(const std::optional<uint32_t>& address) {
    return address ? QJsonValue(QString::fromStdString(FormatDottedAddress(*address))) : QJsonValue();
}

std::optional<uint32_t> AddressFrom(const QJsonValue& value) {
    if (!value.isString()) {
        return std::nullopt;
    }
    return ParseStrictDottedAddress(value.toString().toStdString());
}

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

std::string Text(const QJsonValue& value) {
    return value.toString().toStdString();
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

const char* ReadBackName(ReadBack readBack) {
    switch (readBack) {
        case ReadBack::NotReached:
            return "not-reached";
        case ReadBack::Verified:
            return "verified";
        case ReadBack::Differs:
            return "differs";
        case ReadBack::Unreadable:
            return "unreadable";
    }
    return "not-reached";
}

std::optional<ReadBack> ParseReadBack(const std::string& name) {
    for (ReadBack r : {ReadBack::NotReached, ReadBack::Verified, ReadBack::Differs, ReadBack::Unreadable}) {
        if (name == ReadBackName(r)) {
            return r;
        }
    }
    return std::nullopt;
}

namespace {

struct Broken {
    std::tm tm;
    int ms;
};

Broken Split(int64_t unixMs) {
    const std::time_t seconds = static_cast<std::time_t>(unixMs / 1000);
    Broken b{};
    gmtime_r(&seconds, &b.tm);
    b.ms = static_cast<int>(unixMs % 1000);
    return b;
}

}  // namespace

std::string RecordTimeText(int64_t unixMs) {
    const Broken b = Split(unixMs);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", b.tm.tm_year + 1900, b.tm.tm_mon + 1,
                  b.tm.tm_mday, b.tm.tm_hour, b.tm.tm_min, b.tm.tm_sec, b.ms);
    return text;
}

// The time text without its separators, so that it makes a file name that sorts by time.
std::string RecordStem(int64_t unixMs) {
    std::string stem = RecordTimeText(unixMs);
    std::erase_if(stem, [](char c) { return c == '-' || c == ':'; });
    return stem;
}

std::string RecordStore::DefaultDirectory() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/') {
        return std::string(data) + "/camera-setup";
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return std::string(home) + "/.local/share/camera-setup";
    }
    return "";
}

std::string RecordStore::CameraDirectory(const MacAddress& mac) const {
    return m_directory + "/" + mac.Text();
}

std::string RecordStore::RecordPath(const InstallRecord& record) const {
    return CameraDirectory(record.mac) + "/" + record.stem + kRecordSuffix;
}

std::string RecordStore::PreviousPath(const InstallRecord& record) const {
    return CameraDirectory(record.mac) + "/" + record.stem + kPreviousSuffix;
}

std::string RecordStore::WrittenPath(const InstallRecord& record) const {
    return CameraDirectory(record.mac) + "/" + record.stem + kWrittenSuffix;
}

bool RecordStore::MakeDirectories(const MacAddress& mac, std::string* error) const {
    if (m_directory.empty() || m_directory[0] != '/') {
        *error = "no data folder: neither XDG_DATA_HOME nor HOME is an absolute path";
        return false;
    }
    // The parents (e.g. ~/.local/share) are created 0700 when missing and otherwise left as they are.
    for (size_t slash = m_directory.find('/', 1); slash != std::string::npos;
         slash = m_directory.find('/', slash + 1)) {
        if (!MakeDirectory(m_directory.substr(0, slash), false, error)) {
            return false;
        }
    }
    return MakeDirectory(m_directory, true, error) && MakeDirectory(CameraDirectory(mac), true, error);
}

bool RecordStore::Backup(InstallRecord& record, const std::string& previous, const std::string& written,
                         std::string* error) {
    if (!MakeDirectories(record.mac, error)) {
        return false;
    }
    // Two installations of one camera within a millisecond (another process's, say) take the next free name.
    const std::string stem = record.stem;
    bool kept = WriteFileAtomically(PreviousPath(record), previous, AtomicWrite::CreateOnly, error);
    for (int n = 2; !kept && errno == EEXIST && n < 100; ++n) {
        record.stem = stem + "-" + std::to_string(n);
        kept = WriteFileAtomically(PreviousPath(record), previous, AtomicWrite::CreateOnly, error);
    }
    if (!kept || !WriteFileAtomically(WrittenPath(record), written, AtomicWrite::CreateOnly, error)) {
        return false;
    }
    record.backedUp = true;
    return Save(record, error);
}

bool RecordStore::Save(const InstallRecord& record, std::string* error) const {
    return MakeDirectories(record.mac, error) &&
           WriteFileAtomically(RecordPath(record), RecordToJson(record), AtomicWrite::Replace, error);
}

std::optional<std::string> RecordStore::ReadFile(const std::string& path, std::string* error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = Cause(path, errno);
        return std::nullopt;
    }
    std::string bytes;
    char buffer[8192];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            *error = Cause(path, errno);
            close(fd);
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        if (bytes.size() + static_cast<size_t>(n) > kMaxFileBytes) {
            *error = path + ": larger than " + std::to_string(kMaxFileBytes) + " bytes";
            close(fd);
            return std::nullopt;
        }
        bytes.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return bytes;
}

std::vector<InstallRecord> RecordStore::Records(const MacAddress& mac) const {
    std::vector<InstallRecord> records;
    const std::string folder = CameraDirectory(mac);
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return records;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.' || !EndsWith(name, kRecordSuffix)) {
            continue;
        }
        std::string error;
        const std::optional<std::string> text = ReadFile(folder + "/" + name, &error);
        if (!text) {
            continue;
        }
        std::optional<InstallRecord> record = RecordFromJson(*text);
        // A record is its camera's and its name's; one copied elsewhere would point at another pair.
        if (record && record->mac == mac && record->stem + kRecordSuffix == name) {
            records.push_back(std::move(*record));
        }
    }
    closedir(dir);
    std::sort(records.begin(), records.end(),
              [](const InstallRecord& a, const InstallRecord& b) { return a.stem < b.stem; });
    return records;
}

std::vector<InstallRecord> RecordStore::AllRecords() const {
    std::vector<InstallRecord> records;
    DIR* dir = opendir(m_directory.c_str());
    if (dir == nullptr) {
        return records;
    }
    std::vector<MacAddress> macs;
    while (const dirent* entry = readdir(dir)) {
        if (const std::optional<MacAddress> mac = MacAddress::Parse(entry->d_name, "-");
            mac && mac->Text() == entry->d_name) {
            macs.push_back(*mac);
        }
    }
    closedir(dir);
    for (const MacAddress& mac : macs) {
        std::vector<InstallRecord> own = Records(mac);
        records.insert(records.end(), own.begin(), own.end());
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const InstallRecord& a, const InstallRecord& b) { return a.stem < b.stem; });
    return records;
}

std::optional<InstallRecord> RecordStore::LatestBackup(const MacAddress& mac) const {
    const std::vector<InstallRecord> records = Records(mac);
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        if (it->backedUp) {
            return *it;
        }
    }
    return std::nullopt;
}

std::string RecordToJson(const InstallRecord& r) {
    QJsonObject o;
    o["version"] = 1;
    o["mac"] = Text(r.mac.Text());
    o["stem"] = Text(r.stem);
    o["time"] = Text(r.time);
    o["action"] = Text(r.action);
    o["outcome"] = Text(r.outcome);
    o["model"] = Text(r.model);
    o["old_address"] = r.oldAddress != 0 ? Address(r.oldAddress) : QJsonValue();
    o["new_address"] = r.newAddress != 0 ? Address(r.newAddress) : QJsonValue();
    o["mask"] = Address(r.mask);
    o["gateway"] = Address(r.gateway);
    o["dns1"] = Address(r.dns1);
    o["dns2"] = Address(r.dns2);
    o["ssid"] = r.ssid ? QJsonValue(Text(*r.ssid)) : QJsonValue();
    QJsonArray changed;
    for (const ChangedTag& c : r.changed) {
        QJsonObject t{{"tag", Text(c.tag)}};
        if (c.hidden) {
            t["hidden"] = true;
        } else {
            t["before"] = Text(c.before);
            t["after"] = Text(c.after);
        }
        changed.append(t);
    }
    o["changed"] = changed;
    o["read_back"] = ReadBackName(r.readBack);
    QJsonArray differences;
    for (const ReadBackDifference& d : r.differences) {
        QJsonObject t{{"tag", Text(d.tag)}, {"network", d.network}};
        if (d.hidden) {
            t["hidden"] = true;
        } else {
            t["written"] = Text(d.written);
            t["read_back"] = d.readBack ? QJsonValue(Text(*d.readBack)) : QJsonValue();
        }
        differences.append(t);
    }
    o["differences"] = differences;
    o["backed_up"] = r.backedUp;
    return QJsonDocument(o).toJson(QJsonDocument::Indented).toStdString();
}

std::optional<InstallRecord> RecordFromJson(const std::string& text) {
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
        return std::nullopt;
    }
    const QJsonObject o = doc.object();
    InstallRecord r;
    const std::optional<MacAddress> mac = MacAddress::Parse(Text(o["mac"]), "-");
    r.stem = Text(o["stem"]);
    r.time = Text(o["time"]);
    // The stem names files: nothing but what RecordStem makes.
    const bool stemOk =
        !r.stem.empty() && r.stem.size() <= 32 && r.stem.find_first_not_of("0123456789TZ.-") == std::string::npos;
    if (!mac || !stemOk || r.time.empty()) {
        return std::nullopt;
    }
    r.mac = *mac;
    r.action = Text(o["action"]);
    r.outcome = Text(o["outcome"]);
    r.model = Text(o["model"]);
    r.oldAddress = AddressFrom(o["old_address"]).value_or(0);
    r.newAddress = AddressFrom(o["new_address"]).value_or(0);
    r.mask = AddressFrom(o["mask"]);
    r.gateway = AddressFrom(o["gateway"]);
    r.dns1 = AddressFrom(o["dns1"]);
    r.dns2 = AddressFrom(o["dns2"]);
    if (o["ssid"].isString()) {
        r.ssid = Text(o["ssid"]);
    }
    for (const QJsonValue& v : o["changed"].toArray()) {
        const QJsonObject t = v.toObject();
        r.changed.push_back({Text(t["tag"]), Text(t["before"]), Text(t["after"]), t["hidden"].toBool()});
    }
    r.readBack = ParseReadBack(Text(o["read_back"])).value_or(ReadBack::NotReached);
    for (const QJsonValue& v : o["differences"].toArray()) {
        const QJsonObject t = v.toObject();
        ReadBackDifference d{Text(t["tag"]), Text(t["written"]), std::nullopt, t["network"].toBool(),
                             t["hidden"].toBool()};
        if (t["read_back"].isString()) {
            d.readBack = Text(t["read_back"]);
        }
        r.differences.push_back(std::move(d));
    }
    r.backedUp = o["backed_up"].toBool();
    return r;
}
