#include "ConfigReadBack.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <set>
#include <sstream>

#include "ConfigFileRewrite.h"
#include "ConfigLineReader.h"

namespace {

constexpr const char* kResetTag = "<reset system>";

enum class Kind { Address, YesNo, Number, Word, Text };

Kind KindOf(const std::string& tag) {
    static const std::set<std::string> addresses{"<subnet mask>", "<gateway ip>", "<primary name server>",
                                                 "<secondary name server>"};
    static const std::set<std::string> yesNo{"<install enabled>", "<data encryption>", kResetTag};
    static const std::set<std::string> numbers{"<wireless mode>", "<channel>", "<key select>"};
    static const std::set<std::string> words{"<Tx rate>", "<preamble>", "<authentication mode>", "<key length>",
                                             "<key format>"};
    if (addresses.contains(tag)) {
        return Kind::Address;
    }
    if (yesNo.contains(tag)) {
        return Kind::YesNo;
    }
    if (numbers.contains(tag)) {
        return Kind::Number;
    }
    if (words.contains(tag)) {
        return Kind::Word;
    }
    return Kind::Text;
}

std::string_view Trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Decimal digits only; leading zeros allowed, at most 9 significant digits.
std::optional<long> Number(std::string_view text) {
    if (text.empty() || text.size() > 32) {
        return std::nullopt;
    }
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
        if (value > 999999999) {
            return std::nullopt;
        }
    }
    return value;
}

std::optional<uint32_t> Address(std::string_view text) {
    uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        const size_t dot = part < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos) {
            return std::nullopt;
        }
        const std::optional<long> octet = Number(text.substr(0, dot));
        if (!octet || *octet > 255) {
            return std::nullopt;
        }
        address = (address << 8) | static_cast<uint32_t>(*octet);
        text.remove_prefix(std::min(text.size(), dot + 1));
    }
    return address;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

template <typename T>
bool SameWhenBothRead(const std::optional<T>& a, const std::optional<T>& b, std::string_view ta, std::string_view tb) {
    if (a && b) {
        return *a == *b;
    }
    return ta == tb;
}

}  // namespace

std::map<std::string, std::string> ConfigTagValues(std::string_view file) {
    const std::vector<std::string>& known = KnownConfigTags();
    std::map<std::string, std::string> values;
    std::istringstream in{std::string(file)};
    ConfigLineReader reader(in);
    std::string line;
    for (ConfigLineReader::Result r = reader.Next(line); r != ConfigLineReader::Result::End; r = reader.Next(line)) {
        if (r == ConfigLineReader::Result::Long) {
            reader.SkipRest();
            continue;
        }
        if (std::find(known.begin(), known.end(), line) == known.end()) {
            continue;
        }
        std::string value;
        const ConfigLineReader::Result v = reader.Next(value);
        if (v == ConfigLineReader::Result::Long) {
            reader.SkipRest();
        }
        values.emplace(line, value);  // the first occurrence counts
    }
    return values;
}

bool SameConfigValue(const std::string& tag, const std::string& a, const std::string& b) {
    const std::string_view ta = Trimmed(a);
    const std::string_view tb = Trimmed(b);
    switch (KindOf(tag)) {
        case Kind::Address:
            return SameWhenBothRead(Address(ta), Address(tb), a, b);
        case Kind::Number:
            return SameWhenBothRead(Number(ta), Number(tb), a, b);
        case Kind::YesNo:
        case Kind::Word:
            return EqualIgnoringCase(ta, tb);
        case Kind::Text:
            return a == b;
    }
    return a == b;
}

bool IsNetworkTag(const std::string& tag) {
    return tag == "<install enabled>" || KindOf(tag) == Kind::Address;
}

bool IsSecretTag(const std::string& tag) {
    return tag == "<key 1>" || tag == "<key 2>" || tag == "<key 3>" || tag == "<key 4>";
}

namespace {

// Every known tag that `wanted` holds (but the restart request, which a camera clears once it has acted on it) and
// `found` lacks or holds with another meaning: each(tag, wanted value, found value or null).
template <typename Each>
void ForEachDifferingTag(std::string_view wanted, std::string_view found, Each each) {
    const std::map<std::string, std::string> want = ConfigTagValues(wanted);
    const std::map<std::string, std::string> have = ConfigTagValues(found);
    for (const std::string& tag : KnownConfigTags()) {
        const auto w = want.find(tag);
        if (tag == kResetTag || w == want.end()) {
            continue;
        }
        const auto h = have.find(tag);
        if (h == have.end()) {
            each(tag, w->second, nullptr);
        } else if (!SameConfigValue(tag, w->second, h->second)) {
            each(tag, w->second, &h->second);
        }
    }
}

}  // namespace

std::vector<ReadBackDifference> CompareReadBack(std::string_view written, std::string_view readBack) {
    std::vector<ReadBackDifference> differences;
    ForEachDifferingTag(written, readBack,
                        [&](const std::string& tag, const std::string& wrote, const std::string* read) {
                            ReadBackDifference d{tag, wrote, std::nullopt, IsNetworkTag(tag), IsSecretTag(tag)};
                            if (read != nullptr) {
                                d.readBack = d.hidden ? "" : *read;
                            }
                            if (d.hidden) {
                                d.written.clear();
                            }
                            differences.push_back(std::move(d));
                        });
    return differences;
}

std::vector<ChangedTag> ChangedTags(std::string_view before, std::string_view after) {
    std::vector<ChangedTag> changed;
    ForEachDifferingTag(after, before, [&](const std::string& tag, const std::string& now, const std::string* was) {
        if (IsSecretTag(tag)) {
            changed.push_back({tag, "", "", true});
        } else {
            changed.push_back({tag, was != nullptr ? *was : "", now, false});
        }
    });
    return changed;
}

std::string WithResetRequested(std::string_view file) {
    // Line by line over the raw bytes: only the value line's text changes, its line end stays.
    size_t start = 0;
    while (start < file.size()) {
        size_t end = file.find('\n', start);
        const size_t next = end == std::string_view::npos ? file.size() : end + 1;
        std::string line;
        for (size_t i = start; i < (end == std::string_view::npos ? file.size() : end); ++i) {
            if (file[i] != '\r') {
                line.push_back(file[i]);
            }
        }
        if (line == kResetTag) {
            if (next >= file.size()) {
                return std::string(file);
            }
            size_t valueEnd = file.find('\n', next);
            if (valueEnd == std::string_view::npos) {
                valueEnd = file.size();
            }
            // Keep the value line's carriage return, if any, before its line feed.
            size_t textEnd = valueEnd;
            while (textEnd > next && file[textEnd - 1] == '\r') {
                --textEnd;
            }
            std::string out(file.substr(0, next));
            out += "YES";
            out += file.substr(textEnd);
            return out;
        }
        start = next;
    }
    return std::string(file);
}
