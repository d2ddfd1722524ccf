// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Linux/ArrowKeyPoster.hpp"
#include "Platform/Linux/VirtualKeyboardCalls.hpp"

namespace quenlark {

// A virtual keyboard on the program's own Wayland connection, where the compositor offers one
// (wlroots compositors such as Sway). It needs no privilege, and its keymap holds the two arrow
// keys and nothing else.
class WaylandVirtualKeyboard : public ArrowKeyPoster {
public:
    explicit WaylandVirtualKeyboard(VirtualKeyboardCalls& calls);

    // Whether the compositor offers the virtual keyboard manager; asked once.
    bool offered();
    // Makes the keyboard unless it exists. True while it reaches the compositor.
    bool create();
    void post(ArrowKey key, bool keyDown) override;

private:
    VirtualKeyboardCalls& calls_;
    bool asked_ = false;
    bool offered_ = false;
    bool created_ = false;
};

} // namespace quenlark
