// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Platform.hpp"

#include <memory>

namespace quenlark {

// The real adapters of the operating system this build targets. Needs a QApplication.
std::unique_ptr<Platform> makeSystemPlatform();

} // namespace quenlark
