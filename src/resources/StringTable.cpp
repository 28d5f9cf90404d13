#include "StringTable.h"

#include <array>
#include <utility>

namespace {

constexpr std::array<std::pair<int, std::string_view>, 10> kStrings{{
    {StringTable::kAboutMenuEntry, "&About Vestrix..."},
    {StringTable::kModelTavix10, "Tavix-10"},
    {StringTable::kModelTavix11Plus, "Tavix-11+"},
    {StringTable::kWelcomeText,
     "Welcome to the %s Setup Wizard. The Wizard will guide you through these two quick steps. Begin by clicking on "
     "Next."},
    {StringTable::kFinishText,
     "The Setup wizard has completed. Click on Back to modify changes or mistakes. Click Restart to save the current "
     "settings and reboot the %s."},
    {StringTable::kFindOnStartup, "This camera can be found by installer whenever it starts up"},
    {StringTable::kConfigFileName, "config.ini"},
    {StringTable::kModelTavix30, "Tavix-30"},
    {StringTable::kModelTavix30W, "Tavix-30W"},
    {StringTable::kProductName, "Davuvive Zazezo"},
}};

}  // namespace

std::optional<std::string_view> StringTable::Find(int id) {
    for (const auto& [key, text] : kStrings) {
        if (key == id) {
            return text;
        }
    }
    return std::nullopt;
}

std::string StringTable::Load(int id) {
    const auto text = Find(id);
    return text ? std::string(*text) : std::string();
}

std::string StringTable::Format(int id, std::string_view argument) {
    const auto format = Find(id);
    if (!format) {
        return {};
    }
    std::string result;
    result.reserve(format->size() + argument.size());
    for (std::size_t i = 0; i < format->size(); ++i) {
        const char c = (*format)[i];
        if (c == '%' && i + 1 < format->size()) {
            const char next = (*format)[i + 1];
            if (next == 's') {
                result += argument;
                ++i;
                continue;
            }
            if (next == '%') {
                result += '%';
                ++i;
                continue;
            }
        }
        result += c;
    }
    return result;
}
