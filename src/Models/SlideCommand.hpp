// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>

namespace quenlark {

// The command byte of a clicker notification.
enum class SlideCommand : std::uint8_t { nextSlide = 1, previousSlide = 2 };

std::optional<SlideCommand> slideCommandFromRawValue(std::uint8_t raw);
std::uint8_t rawValue(SlideCommand command);

} // namespace quenlark
