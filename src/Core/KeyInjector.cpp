// SPDX-License-Identifier: MIT
#include "Core/KeyInjector.hpp"

#include <cstdint>

namespace quenlark::KeyInjector {

namespace {
constexpr int hidSystemState = 1;
constexpr int hidEventTap = 0;
} // namespace

void injectArrowKey(KeyEventServices& services, SlideCommand command)
{
    const auto source = services.createEventSource(hidSystemState);
    const std::uint16_t key =
        command == SlideCommand::nextSlide ? rightArrowVirtualKey : leftArrowVirtualKey;
    // Both events exist before either is posted; a missing one does not stop the other.
    const auto down = services.createKeyboardEvent(source.get(), key, true);
    const auto up = services.createKeyboardEvent(source.get(), key, false);
    if (down)
        services.postEvent(hidEventTap, *down);
    if (up)
        services.postEvent(hidEventTap, *up);
}

} // namespace quenlark::KeyInjector
