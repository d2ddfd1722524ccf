// SPDX-License-Identifier: MIT
#include "Models/SlideCommand.hpp"

namespace quenlark {

std::optional<SlideCommand> slideCommandFromRawValue(std::uint8_t raw)
{
    switch (raw) {
    case 1:
        return SlideCommand::nextSlide;
    case 2:
        return SlideCommand::previousSlide;
    default:
        return std::nullopt;
    }
}

std::uint8_t rawValue(SlideCommand command)
{
    return static_cast<std::uint8_t>(command);
}

} // namespace quenlark
