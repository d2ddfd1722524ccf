// SPDX-License-Identifier: MIT
#pragma once

#include <linux/input-event-codes.h>

#include <cstdint>
#include <optional>

namespace quenlark {

enum class ArrowKey { left, right };

// The key event port's fixed codes, 124 (Right) and 123 (Left); anything else is no arrow key.
constexpr std::optional<ArrowKey> arrowKeyFromVirtualKey(std::uint16_t virtualKey)
{
    switch (virtualKey) {
    case 124:
        return ArrowKey::right;
    case 123:
        return ArrowKey::left;
    default:
        return std::nullopt;
    }
}

// The Linux input code (KEY_RIGHT 106, KEY_LEFT 105), which uinput and the remote-desktop portal
// both take.
constexpr int evdevCode(ArrowKey key)
{
    return key == ArrowKey::right ? KEY_RIGHT : KEY_LEFT;
}

// One way of making an arrow key press or release reach the user's session.
class ArrowKeyPoster {
public:
    virtual ~ArrowKeyPoster() = default;
    virtual void post(ArrowKey key, bool keyDown) = 0;
};

} // namespace quenlark
