#pragma once

// Files that hold either their old or their new bytes, whatever happens to the program or the machine.

#include <string>
#include <string_view>

enum class AtomicWrite {
    Replace,     // over whatever is there
    CreateOnly,  // only where nothing is: false with errno EEXIST otherwise
};

// Writes `bytes` to a temporary file (0600) beside `path`, syncs it and moves it to `path`, then syncs the folder
// so that the move lasts. The temporary file never stays behind. On failure errno says why and *cause is
// "PATH: reason".
bool WriteFileAtomically(const std::string& path, std::string_view bytes, AtomicWrite how, std::string* cause);
