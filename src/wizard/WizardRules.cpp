#include "WizardRules.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace {

bool ContainsAny(const std::string& text, std::string_view characters) {
    return text.find_first_of(characters) != std::string::npos;
}

}  // namespace

std::optional<std::string> CheckNetworkAddresses(uint32_t address, uint32_t mask) {
    const uint32_t hostBits = ~mask;
    const bool maskContiguous = mask != 0 && (hostBits & (hostBits + 1)) == 0;
    const uint32_t firstOctet = address >> 24;
    // An echo to any of these fails or reaches more than one host, so no camera can be given one.
    const bool unusable = address == 0 || firstOctet == 127 || firstOctet >= 224 ||
                          (maskContiguous && hostBits > 1 && (address & hostBits) == hostBits);
    if (maskContiguous && !unusable) {
        return std::nullopt;
    }
    return kAddressOrMaskMessage;
}

bool IsValidSsid(const std::string& ssid) {
    return !ContainsAny(ssid, "\"<> \r\n");
}

bool IsValidAsciiKey(const std::string& key) {
    return !ContainsAny(key, "\"<>\r\n");
}

bool IsValidHexKey(const std::string& key) {
    return std::all_of(key.begin(), key.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

int RequiredKeyLength(int keyLengthIndex, int keyFormat) {
    const int i = std::clamp(keyLengthIndex, 0, 2);
    return keyFormat == kKeyFormatAscii ? i * (i + 1) * 4 + 5 : i * (i + 1) * 8 + 10;
}

std::string KeyFill(int keyLengthIndex, int keyFormat) {
    return std::string(static_cast<size_t>(RequiredKeyLength(keyLengthIndex, keyFormat)),
                       keyFormat == kKeyFormatAscii ? ' ' : '0');
}

InstallParams WirelessFirstDisplay(InstallParams params) {
    params.m_ssid = "default";
    params.m_channelIndex = 5;
    params.m_txRateIndex = 3;
    params.m_preamble = 0;
    params.m_wirelessMode = 0;
    params.m_dataEncryption = false;
    params.m_authenticationIndex = 0;
    params.m_keyLengthIndex = 0;
    params.m_keyFormat = kKeyFormatHex;
    params.m_keySelect = 0;
    for (std::string& key : params.m_keys) {
        key = KeyFill(params.m_keyLengthIndex, params.m_keyFormat);
    }
    return params;
}

std::string UpperCaseKey(std::string key) {
    for (char& c : key) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return key;
}

std::string NormaliseKey(std::string key, int length) {
    key.resize(static_cast<size_t>(std::max(length, 0)), '0');
    return key;
}

std::string KeyLengthMessage(int keyNumber, int requiredLength) {
    char text[128];
    std::snprintf(text, sizeof text, "character length of key%d is incorrect, please enter exactly %d characters\n",
                  keyNumber, requiredLength);
    return text;
}

std::optional<std::string> CheckWirelessSettings(InstallParams& params, int requiredLength) {
    if (!IsValidSsid(params.m_ssid)) {
        return kInvalidSsidMessage;
    }
    if (params.m_ssid.size() > static_cast<size_t>(kMaxSsidLength)) {
        return kSsidTooLongMessage;
    }
    const bool ascii = params.m_keyFormat == kKeyFormatAscii;
    if (!ascii) {
        for (std::string& key : params.m_keys) {
            key = UpperCaseKey(std::move(key));
        }
    }
    if (!params.m_dataEncryption) {
        return std::nullopt;
    }
    for (const std::string& key : params.m_keys) {
        if (ascii && !IsValidAsciiKey(key)) {
            return kInvalidKeyMessage;
        }
        if (!ascii && !IsValidHexKey(key)) {
            return kInvalidHexMessage;
        }
    }
    for (int i = 0; i < 4; ++i) {
        std::string& key = params.m_keys[i];
        if (key.size() == static_cast<size_t>(requiredLength)) {
            continue;
        }
        if (i == params.m_keySelect) {
            return KeyLengthMessage(params.m_keySelect + 1, requiredLength);
        }
        key = NormaliseKey(std::move(key), requiredLength);
    }
    return std::nullopt;
}
