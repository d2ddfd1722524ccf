// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Linux/Keys/KeyBackend.hpp"
#include "Platform/Linux/Keys/VirtualKeyboardCalls.hpp"

#include <memory>

namespace quenlark {

// A virtual keyboard on the program's own Wayland connection, where the compositor offers one
// (wlroots compositors such as Sway). It needs no privilege, and its keymap holds the two arrow
// keys and nothing else.
class WaylandVirtualKeyboard : public KeyBackend {
    Q_OBJECT

public:
    explicit WaylandVirtualKeyboard(std::unique_ptr<VirtualKeyboardCalls> calls);

    // A Wayland session whose compositor offers the virtual keyboard manager; asked once.
    Presence presence(SessionType session) override;
    // Makes the keyboard unless it exists. True while it reaches the compositor.
    bool start() override;
    bool reachesSession() const override { return reaches_; }
    void post(ArrowKey key, bool keyDown) override;

private:
    std::unique_ptr<VirtualKeyboardCalls> calls_;
    bool asked_ = false;
    bool offered_ = false;
    bool created_ = false;
    bool reaches_ = false;
};

} // namespace quenlark
