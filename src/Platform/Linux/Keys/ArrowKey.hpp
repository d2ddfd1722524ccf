// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/KeyEvents.hpp"

#include <linux/input-event-codes.h>

#include <cstdint>
#include <optional>

namespace quenlark {

enum class ArrowKey { left, right };

// Anything but the port's two arrow codes is no arrow key.
constexpr std::optional<ArrowKey> arrowKeyFromVirtualKey(std::uint16_t virtualKey)
{
    if (virtualKey == rightArrowVirtualKey)
        return ArrowKey::right;
    if (virtualKey == leftArrowVirtualKey)
        return ArrowKey::left;
    return std::nullopt;
}

// The Linux input code (KEY_RIGHT 106, KEY_LEFT 105), which uinput and the remote-desktop portal
// both take.
constexpr int evdevCode(ArrowKey key)
{
    return key == ArrowKey::right ? KEY_RIGHT : KEY_LEFT;
}

} // namespace quenlark
