// SPDX-License-Identifier: MIT
#pragma once

namespace quenlark {

enum class ArrowKey { left, right };

// One way of making an arrow key press or release reach the user's session.
class ArrowKeyPoster {
public:
    virtual ~ArrowKeyPoster() = default;
    virtual void post(ArrowKey key, bool keyDown) = 0;
};

} // namespace quenlark
