#pragma once

#include "InstallUi.h"

// The terminal's server settings dialog after a refused login: the port, then the password (not echoed on a
// terminal), on stderr and stdin. An empty line keeps the shown value. True when the user answered (the retry),
// false at the end of the input (the cancel).
bool AskServerSettingsOnTerminal(ServerSettings& settings);
