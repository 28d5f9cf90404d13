#pragma once

// What a camera's config.ini says for the tags the program writes, and whether two files agree on them by meaning
// rather than by bytes, so that a camera that rewrites its file in its own format is not judged wrong.
//
// A value is the line after its tag line (read as ConfigLineReader does: CR dropped, at most kMaxHeld characters
// kept); the first occurrence of a tag counts, a tag on the last line has an empty value.
//
// Meaning, per tag: addresses (mask, gateway, name servers) as four decimal numbers 0..255 with blanks around
// them ignored; "YES"/"NO" tags without regard to case; numbers (mode, channel, key select) as decimal numbers
// with blanks and leading zeros ignored; word values (Tx rate, preamble, authentication, key length, key format)
// without regard to case or surrounding blanks; SSID and keys byte for byte. A value that does not read as its
// kind is compared byte for byte.

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "InstallRecord.h"

// The value of every known tag the file holds.
std::map<std::string, std::string> ConfigTagValues(std::string_view file);

bool SameConfigValue(const std::string& tag, const std::string& a, const std::string& b);

// A tag a camera must keep for it to behave as planned: "<install enabled>", the mask, gateway and name servers.
bool IsNetworkTag(const std::string& tag);
// "<key 1>" .. "<key 4>": never shown or stored.
bool IsSecretTag(const std::string& tag);

// Every tag of `written` except "<reset system>" (a camera clears it once it has acted on it) that `readBack`
// does not hold by meaning, in the order of the known tags.
std::vector<ReadBackDifference> CompareReadBack(std::string_view written, std::string_view readBack);

// Every tag whose value differs (by meaning) between `before` and `after`, "<reset system>" left out.
std::vector<ChangedTag> ChangedTags(std::string_view before, std::string_view after);

// `file` with the value line of its first "<reset system>" tag set to "YES" and every other byte kept; the file
// unchanged when it has no such tag or no value line after it.
std::string WithResetRequested(std::string_view file);
