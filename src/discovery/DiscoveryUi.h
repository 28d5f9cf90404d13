#pragma once

#include <string_view>

// Where discovery tells the user of a failure: the GUI shows a modal message box, the headless commands
// print "Caption: text" to stderr. Called on the user-interface thread.
class DiscoveryUi {
  public:
    virtual ~DiscoveryUi() = default;
    virtual void ShowMessage(std::string_view text, std::string_view caption) = 0;
};
