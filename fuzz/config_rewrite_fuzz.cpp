// One downloaded config.ini, rewritten with InstallParams drawn from a generator seeded by the file's bytes (so
// that the corpus holds plain camera files). Whatever the file holds, the output keeps every line that is not a
// known tag's value, in order; each known tag's value line is the new value or the old line; every line ends
// with CR LF and nothing else is added or lost.
#include "ConfigFileRewrite.h"
#include "FuzzSupport.h"
#include "InstallParams.h"

#include <array>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::array<std::string_view, 20> kKnownTags{"<reset system>",
                                                      "<install enabled>",
                                                      "<subnet mask>",
                                                      "<gateway ip>",
                                                      "<primary name server>",
                                                      "<secondary name server>",
                                                      "<SSID>",
                                                      "<wireless mode>",
                                                      "<channel>",
                                                      "<Tx rate>",
                                                      "<preamble>",
                                                      "<data encryption>",
                                                      "<authentication mode>",
                                                      "<key length>",
                                                      "<key format>",
                                                      "<key select>",
                                                      "<key 1>",
                                                      "<key 2>",
                                                      "<key 3>",
                                                      "<key 4>"};

bool IsKnownTag(const std::string& line) {
    for (std::string_view tag : kKnownTags) {
        if (line == tag) {
            return true;
        }
    }
    return false;
}

struct Generator {
    uint64_t state;
    uint64_t Next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Mostly inside the wizard's ranges, sometimes just outside or far off.
    int Index(int count) {
        const uint64_t r = Next() % 16;
        if (r == 0) {
            return -1 - static_cast<int>(Next() % 3);
        }
        if (r == 1) {
            return count + static_cast<int>(Next() % 1000);
        }
        return static_cast<int>(Next() % static_cast<uint64_t>(count));
    }
    std::string Text() {
        static constexpr char kChars[] = "abcXYZ0123456789 <>-_\r\n";
        const size_t length = Next() % 8 == 0 ? 300 + Next() % 300 : Next() % 33;
        std::string text;
        for (size_t i = 0; i < length; ++i) {
            const uint64_t r = Next() % 64;
            text.push_back(r == 0 ? '\0' : kChars[Next() % (sizeof kChars - 1)]);
        }
        return text;
    }
};

InstallParams ParamsFor(const uint8_t* data, size_t size) {
    uint64_t hash = 14695981039346656037ull;
    for (size_t i = 0; i < size; ++i) {
        hash = (hash ^ data[i]) * 1099511628211ull;
    }
    Generator g{hash};
    InstallParams p;
    p.m_installEnabled = g.Next() & 1;
    p.m_subnetMask = static_cast<uint32_t>(g.Next());
    p.m_gateway = static_cast<uint32_t>(g.Next());
    p.m_primaryDns = static_cast<uint32_t>(g.Next());
    p.m_secondaryDns = static_cast<uint32_t>(g.Next());
    p.m_ssid = g.Text();
    p.m_wirelessMode = g.Index(2);
    p.m_channelIndex = g.Index(11);
    p.m_txRateIndex = g.Index(5);
    p.m_preamble = g.Index(2);
    p.m_dataEncryption = g.Next() & 1;
    p.m_authenticationIndex = g.Index(3);
    p.m_keyLengthIndex = g.Index(3);
    p.m_keyFormat = g.Index(2);
    p.m_keySelect = g.Index(4);
    for (std::string& key : p.m_keys) {
        key = g.Text();
    }
    return p;
}

// The file's lines as a camera writes them: CR dropped anywhere, LF ends a line, a last line without LF counts
// when it holds a byte.
std::vector<std::string> InputLines(std::string_view bytes) {
    std::vector<std::string> lines;
    std::string line;
    bool open = false;
    for (const char c : bytes) {
        if (c == '\r') {
            continue;
        }
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
            open = false;
            continue;
        }
        line.push_back(c);
        open = true;
    }
    if (open) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> OutputLines(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        const size_t end = bytes.find("\r\n", start);
        FUZZ_CHECK(end != std::string::npos, "output ends with CR LF");
        lines.push_back(bytes.substr(start, end - start));
        FUZZ_CHECK(lines.back().find_first_of("\r\n") == std::string::npos, "no bare CR or LF in the output");
        start = end + 2;
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const InstallParams params = ParamsFor(data, size);
    const std::string file(reinterpret_cast<const char*>(data), size);
    std::istringstream in(file);
    std::ostringstream out;
    RewriteConfigFile(in, out, params);

    const std::vector<std::string> before = InputLines(file);
    const std::vector<std::string> after = OutputLines(out.str());
    size_t i = 0;
    size_t j = 0;
    while (i < before.size()) {
        FUZZ_CHECK(j < after.size(), "no line lost");
        FUZZ_CHECK(after[j] == before[i], "lines that are not values pass through in order");
        if (!IsKnownTag(before[i])) {
            ++i;
            ++j;
            continue;
        }
        const std::optional<std::string> value = ConfigValueForTag(before[i], params);
        if (value) {
            FUZZ_CHECK(IsSingleLineValue(*value), "a value is one line");
            FUZZ_CHECK(j + 1 < after.size() && after[j + 1] == *value, "a tag's value line holds the new value");
            i += 2;  // past the old value, or past the end for a tag on the last line
            j += 2;
        } else if (i + 1 < before.size()) {
            FUZZ_CHECK(j + 1 < after.size() && after[j + 1] == before[i + 1], "a kept value is the old line");
            i += 2;
            j += 2;
        } else {
            ++i;
            ++j;
        }
    }
    FUZZ_CHECK(j == after.size(), "nothing added");
    return 0;
}
