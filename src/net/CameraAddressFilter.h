#pragma once

#include "MacAddress.h"

// True for hardware addresses inside the camera address ranges; everything else is ignored.
bool CameraAddressFilter(const MacAddress& address);
