#pragma once

// The settings of one installation given as text instead of through the wizard pages: the options of the headless
// `install` and the columns of a batch plan. Every setting not given stays unset and is filled the way the wizard
// pages would fill it.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "InstallParams.h"

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

// One setting that takes a value: its option name ("key-length"), the value's name in the usage ("L"), what it
// wants ("64, 128 or 256"; empty: any text) and the check that stores it (false: not a value it takes).
struct InstallValueOption {
    const char* name;
    const char* valueName;
    const char* wanted;
    bool (*apply)(const std::string& value, InstallOptions& options);
};
std::span<const InstallValueOption> InstallValueOptions();

// The settings the wizard would end with for this camera and these options, checked by the pages' rules.
// Nothing, with the page's message in *message and its caption in *caption, when a page would refuse them.
std::optional<InstallParams> BuildInstallParams(const InstallOptions& options, const InstallParams& networkPage,
                                                bool wireless, std::string* message, std::string* caption);
