#pragma once

// The Setup Wizard's page checks as plain functions, shared by the wizard pages and the headless install
// command so both accept exactly the same settings. A check returns nullopt when the values pass, else the text
// of the message box the page shows.
//
// Line breaks: a carriage return or line feed in a text value would add a line to the camera's config.ini, so
// the checks reject it (an SSID holding one fails as an invalid character; an ASCII key as an invalid key
// character; a HEX key as invalid hex). They never strip characters silently.

#include <cstdint>
#include <optional>
#include <string>

#include "InstallParams.h"

inline constexpr const char* kAddressOrMaskMessage = "You must fill the correct IP address or subnet mask";
inline constexpr const char* kInvalidSsidMessage = "You have used invalid characters.";
inline constexpr const char* kInvalidKeyMessage =
    "You have used invalid characters.\nThese invalid characters are : \", <, >.";
inline constexpr const char* kInvalidHexMessage = "Invalid Hex";
inline constexpr const char* kSsidTooLongMessage = "The SSID must not be longer than 32 characters.";
inline constexpr const char* kConfirmSettingsMessage =
    "Any incorrect setting may cause system failure.\nConfirm all settings.";

inline constexpr int kMaxSsidLength = 32;
inline constexpr int kKeyFormatAscii = 0;
inline constexpr int kKeyFormatHex = 1;

// Network page, host order. The mask must be non-zero with contiguous ones. The new address must be non-zero and
// one a camera can hold: not 127/8, multicast 224/4 or 240/4 (255.255.255.255 included), and not the broadcast
// address of its subnet under that mask (only masks of /30 and shorter have one). Its network address passes: a
// blank last octet reads as 0. Gateway and name servers are free.
std::optional<std::string> CheckNetworkAddresses(uint32_t address, uint32_t mask);

// SSID: none of double quote, "<", ">", space, carriage return, line feed.
bool IsValidSsid(const std::string& ssid);
// ASCII key: none of double quote, "<", ">", carriage return, line feed; spaces are allowed.
bool IsValidAsciiKey(const std::string& key);
// HEX key: only "0"-"9" and "A"-"F" (upper case; keys are upper-cased before this check).
bool IsValidHexKey(const std::string& key);

// Characters a key must have: ASCII i*(i+1)*4 + 5, HEX i*(i+1)*8 + 10 for key length index i (0..2):
// 5/13/29 and 10/26/58. Any key format other than 0 counts as HEX.
int RequiredKeyLength(int keyLengthIndex, int keyFormat);

// What every key holds after the page fills the keys for this length and format: spaces (ASCII) or zeros (HEX).
std::string KeyFill(int keyLengthIndex, int keyFormat);

// The wireless page as it first shows itself: SSID "default", channel 6, 11 Mbps, long preamble, infrastructure,
// encryption off, auto authentication, 64bit HEX keys of zeros, key 1 selected. The network values stay as given.
InstallParams WirelessFirstDisplay(InstallParams params);

// Letters a-z become A-Z; nothing else changes.
std::string UpperCaseKey(std::string key);
// A key that is not selected is cut to `length` or padded at its end with "0" up to it.
std::string NormaliseKey(std::string key, int length);

// "character length of key%d is incorrect, please enter exactly %d characters\n"
std::string KeyLengthMessage(int keyNumber, int requiredLength);

// The wireless page's checks on values already read from its controls, in the page's order: SSID characters;
// with the HEX key format all four keys upper-cased (an ASCII key is case-sensitive and keeps its case); then, when
// data encryption is on, key characters (ASCII) or hex digits (HEX) of keys 1-4, and the length of keys 1-4 against
// `requiredLength`: the selected key must match, the others are normalised. `params` keeps the changes made before a
// failure, as the page's stored values do.
std::optional<std::string> CheckWirelessSettings(InstallParams& params, int requiredLength);
