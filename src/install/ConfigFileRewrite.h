#pragma once

// The config.ini rewrite. The camera's file is copied line by line; a line that equals one of the known tags
// exactly (whole line, case-sensitive, e.g. "<subnet mask>") has its following line, the old value, replaced by
// the value from InstallParams. Every line written ends with CR LF, whatever the input used. Lines of any length
// pass through whole. The rewrite always runs to the end of the input; stream errors are the caller's to check.
//
// Values that cannot be written faithfully leave the old value line as it was: an index or mode outside its
// range (channel 0..10, Tx rate 0..4, authentication and key length 0..2, key select 0..3, mode 0..1), or a
// text value holding a line feed, carriage return or NUL (which would otherwise add a line to the file).
// When data encryption is off, the authentication mode, key length, key format, key select and four key tags
// keep the file's values. A tag on the last line, with no value line after it, gets its new value; where the old
// value would be kept there is none, and nothing is added.

#include <cstdint>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "InstallParams.h"

void RewriteConfigFile(std::istream& in, std::ostream& out, const InstallParams& params);

// The value text for one known tag line, or nullopt when the tag is unknown, when the file's own value is to be
// kept (encryption off), or when the held value cannot be written (see above).
std::optional<std::string> ConfigValueForTag(const std::string& tag, const InstallParams& params);

// The tags the rewrite knows, in the order lines are compared with them ("<reset system>" first).
const std::vector<std::string>& KnownConfigTags();

// "a.b.c.d" of a host-order address, first octet most significant.

// Whether a text value can be written as one line of the file: no line feed, carriage return or NUL.
bool IsSingleLineValue(const std::string& text);
