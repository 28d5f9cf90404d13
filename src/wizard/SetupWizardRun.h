#pragma once

// Runs the whole Setup Wizard for one camera, modally, on the GUI thread (callers on another thread ask the GUI
// thread to run it and wait). Pages: welcome, network, wireless (only for a wireless camera), finish; the model
// name is string 104 for a wireless camera, 102 otherwise. The network page starts with the camera's values,
// a mask of 0 shown as 255.255.255.0. Returns the settings after Finish ("Restart"), nullopt when the user
// cancelled (Exit, Escape, the close box). Without the wireless page the wireless values are those after
// construction.

#include <optional>

#include "InstallParams.h"

class QWidget;

std::optional<InstallParams> RunSetupWizard(QWidget* owner, const CameraRecord& camera);
