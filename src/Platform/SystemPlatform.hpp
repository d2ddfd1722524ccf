// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Platform.hpp"
#include "Platform/TrayHost.hpp"

#include <memory>

namespace quenlark {

// The real adapters of the operating system this build targets, from its own folder. Both need a
// QApplication.
std::unique_ptr<Platform> makeSystemPlatform();
std::unique_ptr<TrayHost> makeTrayHost();

} // namespace quenlark
