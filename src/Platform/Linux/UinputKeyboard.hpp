// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Linux/ArrowKeyPoster.hpp"
#include "Platform/Linux/UinputSystemCalls.hpp"

#include <string>

namespace quenlark {

// The process's one virtual keyboard. It is made once and kept while the session has the seat: a
// compositor needs time to open a new input device, so the first events of a fresh device are lost.
class UinputKeyboard : public ArrowKeyPoster {
public:
    enum class State {
        ready,        // the device exists
        notPermitted, // /dev/uinput exists but this user may not write it
        unavailable,  // no device yet, no uinput in this kernel, or it refused the device
    };

    explicit UinputKeyboard(UinputSystemCalls& calls, std::string path = "/dev/uinput");
    ~UinputKeyboard() override;
    UinputKeyboard(const UinputKeyboard&) = delete;
    UinputKeyboard& operator=(const UinputKeyboard&) = delete;

    State state() const { return m_state; }
    // Makes the device unless it exists already; costs nothing once it does.
    State create();
    // Writes one key frame; a device that refuses it is replaced. Without a device nothing
    // happens: devices are made at start and by create(), never for a press.
    void post(ArrowKey key, bool keyDown) override;
    // Removes the device, so that it feeds no seat until create() makes a new one.
    void remove();

private:
    bool declareKeyboard(int fd);

    UinputSystemCalls& m_calls;
    std::string m_path;
    int m_fd = -1;
    State m_state = State::unavailable;
};

} // namespace quenlark
