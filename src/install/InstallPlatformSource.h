#pragma once

#include "InstallWorker.h"

// Owns what one installation's InstallWorker::Platform refers to.
class InstallPlatformSource {
  public:
    virtual ~InstallPlatformSource() = default;
    virtual InstallWorker::Platform Platform() = 0;
};
