// SPDX-License-Identifier: MIT
#pragma once

#include "Models/SlideCommand.hpp"
#include "Platform/KeyEvents.hpp"

namespace quenlark::KeyInjector {

// Posts one press and release of Right Arrow (next) or Left Arrow (previous). Stateless: a fresh
// event source per command, nothing logged, nothing returned.
void injectArrowKey(KeyEventServices& services, SlideCommand command);

} // namespace quenlark::KeyInjector
