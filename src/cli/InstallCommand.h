#pragma once

class PrivilegedHelper;

#include <optional>
#include <string>
#include <vector>

#include "InstallParams.h"

// What the command line of `install` says; every setting that is not given stays unset and is filled the way
// the wizard pages would fill it.
struct InstallOptions {
    MacAddress mac;
    std::optional<uint32_t> ip, mask, gateway, dns1, dns2;
    bool findable = false;
    std::optional<std::string> ssid;
    std::optional<int> mode, channelIndex, rateIndex, preamble, authIndex, keyLengthIndex, keyFormat, keySelect;
    bool encryption = false;
    std::optional<std::string> keys[4];
    std::optional<uint16_t> ftpPort;
    std::optional<std::string> ftpPassword;
    int seconds = 10;
    bool help = false;

    bool AnyWirelessOption() const;
};

// Nothing, with the reason in *error, for bad arguments.
std::optional<InstallOptions> ParseInstallOptions(const std::vector<std::string>& args, std::string* error);
std::string InstallUsage();

// The settings the wizard would end with for this camera and these options, checked by the pages' rules.
// Nothing, with the page's message in *message and its caption in *caption, when a page would refuse them.
std::optional<InstallParams> BuildInstallParams(const InstallOptions& options, const InstallParams& networkPage,
                                                bool wireless, std::string* message, std::string* caption);

// `camera-setup install MAC --ip ADDR ...`: 0 "Install OK", 1 any other ending, 2 bad arguments or settings.
int RunInstallCommand(const std::vector<std::string>& args, PrivilegedHelper& helper);
