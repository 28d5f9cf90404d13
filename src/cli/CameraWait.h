#pragma once

// The headless commands' wait for the cameras they were asked about, on the event loop that serves discovery.

#include <functional>
#include <string>
#include <vector>

#include "DeviceTable.h"
#include "MacAddress.h"

// Runs the event loop until done() holds or the time is up; true when done() holds.
bool WaitFor(const std::function<bool()>& done, int milliseconds);

// Waits up to `seconds` until each of `macs` has its row, then a moment for the rows made from a DHCP request to
// get mask, gateway and name servers from the server's acknowledgement (a user clicking the row would see them).
// False when a camera was not found in time.
bool AwaitCameras(DeviceTable& table, const std::vector<MacAddress>& macs, int seconds);

// Why a row that does not read "No" cannot be installed; `state` is its "Assigned" cell.
std::string RowStateText(const std::string& state);
