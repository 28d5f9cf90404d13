// One config.ini as a camera may hand it back after its restart. Whatever it holds: every value read is at most
// one held line long; a file agrees with itself by meaning and changes nothing against itself, also once its
// restart request is set (that tag is never compared); setting the request twice is setting it once, and touches
// nothing but that one value line.
#include "ConfigLineReader.h"
#include "ConfigReadBack.h"
#include "FuzzSupport.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string file(reinterpret_cast<const char*>(data), size);
    for (const auto& [tag, value] : ConfigTagValues(file)) {
        FUZZ_CHECK(value.size() <= ConfigLineReader::kMaxHeld, "a value is at most one held line");
        FUZZ_CHECK(value.find_first_of("\r\n") == std::string::npos, "a value holds no line end");
        FUZZ_CHECK(SameConfigValue(tag, value, value), "a value means itself");
    }
    FUZZ_CHECK(CompareReadBack(file, file).empty(), "a file agrees with itself");
    FUZZ_CHECK(ChangedTags(file, file).empty(), "a file changes nothing against itself");
    const std::string reset = WithResetRequested(file);
    FUZZ_CHECK(CompareReadBack(reset, file).empty(), "the restart request is never compared");
    FUZZ_CHECK(WithResetRequested(reset) == reset, "setting the request twice is setting it once");
    size_t head = 0;
    while (head < file.size() && head < reset.size() && file[head] == reset[head]) {
        ++head;
    }
    size_t tail = 0;
    while (tail < file.size() - head && tail < reset.size() - head &&
           file[file.size() - 1 - tail] == reset[reset.size() - 1 - tail]) {
        ++tail;
    }
    const std::string replaced = file.substr(head, file.size() - head - tail);
    FUZZ_CHECK(replaced.find('\n') == std::string::npos, "only the value line's text changes");
    return 0;
}
