#pragma once

#include "DiscoveryUi.h"

#include <cstdio>
#include <string>

// Message boxes of the headless commands: "Caption: text" on stderr.
class CliUi : public DiscoveryUi {
  public:
    void ShowMessage(std::string_view text, std::string_view caption) override {
        std::string line;
        line.append(caption).append(": ").append(text).append("\n");
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    }
};
