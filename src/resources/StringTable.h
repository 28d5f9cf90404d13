#pragma once

// The program's string resources, ids 101 to 111. Plain C++ so that engine code can read them too.

#include <optional>
#include <string>
#include <string_view>

class StringTable {
  public:
    static constexpr int kAboutMenuEntry = 101;    // "&About Vestrix..."
    static constexpr int kModelTavix10 = 102;      // "Tavix-10"
    static constexpr int kModelTavix11Plus = 104;  // "Tavix-11+"
    static constexpr int kWelcomeText = 105;       // printf format, one %s: the model name
    static constexpr int kFinishText = 106;        // printf format, one %s: the model name
    static constexpr int kFindOnStartup = 107;
    static constexpr int kConfigFileName = 108;  // "config.ini"
    static constexpr int kModelTavix30 = 109;    // "Tavix-30"
    static constexpr int kModelTavix30W = 110;   // "Tavix-30W"
    static constexpr int kProductName = 111;     // "Davuvive Zazezo"

    // The text of string `id`, or nothing when the table has no such entry (103 is unassigned).
    static std::optional<std::string_view> Find(int id);

    // The text of string `id`; empty when the table has no such entry, as a failed string load leaves its buffer.
    static std::string Load(int id);

    // String `id` with its single "%s" replaced by `argument`; only "%s" and "%%" are expanded, so a model name
    // containing '%' cannot be read as a format. Empty when the entry does not exist.
    static std::string Format(int id, std::string_view argument);
};
