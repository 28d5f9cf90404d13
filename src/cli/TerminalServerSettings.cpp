#include "TerminalServerSettings.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "CommandLine.h"

namespace {

// False at the end of the input.
bool AskPort(ServerSettings& settings) {
    for (;;) {
        std::fprintf(stderr, "Server FTP Port [%u]: ", settings.port);
        std::fflush(stderr);
        std::string line;
        if (!std::getline(std::cin, line)) {
            return false;
        }
        if (line.empty()) {
            return true;
        }
        if (const auto port = ParseWholeNumber(line, 1, 65535)) {
            settings.port = static_cast<uint16_t>(*port);
            return true;
        }
        std::fprintf(stderr, "Please enter an integer from 1 to 65535.\n");
    }
}

// Reads one line without echoing it when stdin is a terminal.
bool ReadHiddenLine(std::string& line) {
    const bool terminal = isatty(STDIN_FILENO) == 1;
    termios saved{};
    const bool quiet = terminal && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (quiet) {
        termios noEcho = saved;
        noEcho.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &noEcho);
    }
    const bool read = static_cast<bool>(std::getline(std::cin, line));
    if (quiet) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    }
    if (terminal) {
        std::fputc('\n', stderr);
    }
    return read;
}

}  // namespace

bool AskServerSettingsOnTerminal(ServerSettings& settings) {
    std::fprintf(stderr, "Server Settings: %s\n", kServerSettingsText);
    if (!AskPort(settings)) {
        return false;
    }
    std::fprintf(stderr, "Server Admin Password (empty keeps the last one): ");
    std::fflush(stderr);
    std::string password;
    if (!ReadHiddenLine(password)) {
        return false;
    }
    if (!password.empty()) {
        settings.password = password;
    }
    return true;
}
