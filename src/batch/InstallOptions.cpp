#include "InstallOptions.h"

#include <initializer_list>

#include "DottedAddress.h"
#include "Ipv4Text.h"
#include "StringTable.h"
#include "WizardRules.h"

namespace {

std::optional<int> Choice(const std::string& value, std::initializer_list<const char*> choices) {
    int index = 0;
    for (const char* choice : choices) {
        if (value == choice) {
            return index;
        }
        ++index;
    }
    return std::nullopt;
}

template <std::optional<uint32_t> InstallOptions::*Field>
bool ApplyAddress(const std::string& value, InstallOptions& options) {
    options.*Field = ParseStrictDottedAddress(value);
    return (options.*Field).has_value();
}

template <std::optional<int> InstallOptions::*Field, int Base, int Last>
bool ApplyNumberAsIndex(const std::string& value, InstallOptions& options) {
    const auto number = ParseWholeNumber(value, Base, Last);
    options.*Field = number ? std::optional<int>(*number - Base) : std::nullopt;
    return number.has_value();
}

template <size_t Key>
bool ApplyKey(const std::string& value, InstallOptions& options) {
    options.keys[Key] = value;
    return true;
}

constexpr const char* kAddressWanted = "a dotted address like 192.168.0.20";

const InstallValueOption kValueOptions[] = {
    {"ip", "ADDR", kAddressWanted, &ApplyAddress<&InstallOptions::ip>},
    {"mask", "M", kAddressWanted, &ApplyAddress<&InstallOptions::mask>},
    {"gateway", "G", kAddressWanted, &ApplyAddress<&InstallOptions::gateway>},
    {"dns1", "D", kAddressWanted, &ApplyAddress<&InstallOptions::dns1>},
    {"dns2", "D", kAddressWanted, &ApplyAddress<&InstallOptions::dns2>},
    {"ssid", "S", "", [](const std::string& v, InstallOptions& o) { return (o.ssid = v).has_value(); }},
    {"mode", "M", "infrastructure or adhoc",
     [](const std::string& v, InstallOptions& o) {
         return (o.mode = Choice(v, {"infrastructure", "adhoc"})).has_value();
     }},
    {"channel", "N", "a channel from 1 to 11", &ApplyNumberAsIndex<&InstallOptions::channelIndex, 1, 11>},
    {"rate", "R", "1, 2, 5.5, 11 or 22",
     [](const std::string& v, InstallOptions& o) {
         return (o.rateIndex = Choice(v, {"1", "2", "5.5", "11", "22"})).has_value();
     }},
    {"preamble", "P", "long or short",
     [](const std::string& v, InstallOptions& o) {
         return (o.preamble = Choice(v, {"long", "short"})).has_value();
     }},
    {"auth", "A", "auto, shared or open",
     [](const std::string& v, InstallOptions& o) {
         return (o.authIndex = Choice(v, {"auto", "shared", "open"})).has_value();
     }},
    {"key-length", "L", "64, 128 or 256",
     [](const std::string& v, InstallOptions& o) {
         return (o.keyLengthIndex = Choice(v, {"64", "128", "256"})).has_value();
     }},
    {"key-format", "F", "ascii or hex",
     [](const std::string& v, InstallOptions& o) {
         return (o.keyFormat = Choice(v, {"ascii", "hex"})).has_value();
     }},
    {"key-select", "N", "a key number from 1 to 4", &ApplyNumberAsIndex<&InstallOptions::keySelect, 1, 4>},
    {"key1", "K", "", &ApplyKey<0>},
    {"key2", "K", "", &ApplyKey<1>},
    {"key3", "K", "", &ApplyKey<2>},
    {"key4", "K", "", &ApplyKey<3>},
    {"ftp-port", "N", "a port from 1 to 65535",
     [](const std::string& v, InstallOptions& o) {
         const auto port = ParseWholeNumber(v, 1, 65535);
         o.ftpPort = port ? std::optional<uint16_t>(static_cast<uint16_t>(*port)) : std::nullopt;
         return port.has_value();
     }},
    {"ftp-password", "P", "", [](const std::string& v, InstallOptions& o) { return (o.ftpPassword = v).has_value(); }},
};

}  // namespace

bool InstallOptions::AnyWirelessOption() const {
    bool keys = false;
    for (const auto& key : this->keys) {
        keys = keys || key.has_value();
    }
    return ssid || mode || channelIndex || rateIndex || preamble || authIndex || keyLengthIndex || keyFormat ||
           keySelect || encryption || keys;
}

std::span<const InstallValueOption> InstallValueOptions() {
    return kValueOptions;
}

std::optional<InstallParams> BuildInstallParams(const InstallOptions& options, const InstallParams& networkPage,
                                                bool wireless, std::string* message, std::string* caption) {
    InstallParams params = networkPage;
    params.m_newAddress = options.ip.value_or(params.m_newAddress);
    params.m_subnetMask = options.mask.value_or(params.m_subnetMask);
    params.m_gateway = options.gateway.value_or(params.m_gateway);
    params.m_primaryDns = options.dns1.value_or(params.m_primaryDns);
    params.m_secondaryDns = options.dns2.value_or(params.m_secondaryDns);
    params.m_installEnabled = options.findable;
    if (const auto failure = CheckNetworkAddresses(params.m_newAddress, params.m_subnetMask)) {
        *message = *failure;
        *caption = StringTable::Load(StringTable::kProductName);
        return std::nullopt;
    }
    if (!wireless) {
        if (options.AnyWirelessOption()) {
            *message = "the camera is not wireless: its wireless settings cannot be given";
            *caption = "Error";
            return std::nullopt;
        }
        return params;
    }
    params = WirelessFirstDisplay(params);
    params.m_ssid = options.ssid.value_or(params.m_ssid);
    params.m_channelIndex = options.channelIndex.value_or(params.m_channelIndex);
    params.m_txRateIndex = options.rateIndex.value_or(params.m_txRateIndex);
    params.m_preamble = options.preamble.value_or(params.m_preamble);
    params.m_wirelessMode = options.mode.value_or(params.m_wirelessMode);
    params.m_authenticationIndex = options.authIndex.value_or(params.m_authenticationIndex);
    params.m_keyLengthIndex = options.keyLengthIndex.value_or(params.m_keyLengthIndex);
    params.m_keyFormat = options.keyFormat.value_or(params.m_keyFormat);
    params.m_keySelect = options.keySelect.value_or(params.m_keySelect);
    params.m_dataEncryption = options.encryption;
    // Choosing a key length or format refills all four keys, as the page does.
    const int required = RequiredKeyLength(params.m_keyLengthIndex, params.m_keyFormat);
    for (size_t i = 0; i < 4; ++i) {
        params.m_keys[i] = options.keys[i].value_or(KeyFill(params.m_keyLengthIndex, params.m_keyFormat));
    }
    if (params.m_ssid.size() > static_cast<size_t>(kMaxSsidLength)) {
        *message = kSsidTooLongMessage;
        *caption = "Error";
        return std::nullopt;
    }
    if (const auto failure = CheckWirelessSettings(params, required)) {
        *message = *failure;
        *caption = "Error";
        return std::nullopt;
    }
    return params;
}
