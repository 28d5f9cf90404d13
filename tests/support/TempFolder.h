#pragma once

// A private folder under /tmp for one test (or one test process), removed with all it holds when it goes.

#include <stdlib.h>

#include <filesystem>
#include <string>

class TempFolder {
  public:
    explicit TempFolder(const std::string& stem) {
        std::string pattern = "/tmp/" + stem + "-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~TempFolder() {
        if (!m_path.empty()) {
            std::filesystem::remove_all(m_path);
        }
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // Empty when it could not be made.
    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
};
