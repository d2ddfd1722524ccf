// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Linux/Keys/KeyBackend.hpp"
#include "Platform/Linux/Keys/UinputSystemCalls.hpp"

#include <memory>
#include <string>

namespace quenlark {

// The process's one virtual keyboard, where an administrator let this user write /dev/uinput. It
// is made once and kept while the session has the seat: a compositor needs time to open a new
// input device, so the first events of a fresh device are lost.
class UinputKeyboard : public KeyBackend {
    Q_OBJECT

public:
    enum class State {
        ready,        // the device exists
        notPermitted, // /dev/uinput exists but this user may not write it
        unavailable,  // no device yet, no uinput in this kernel, or it refused the device
    };

    explicit UinputKeyboard(std::unique_ptr<UinputSystemCalls> calls,
                            std::string path = "/dev/uinput");
    ~UinputKeyboard() override;

    // Whether this user may write /dev/uinput: opens it, which shows nothing to the seat.
    Presence presence(SessionType session) override;
    // Makes the device on the opened node unless it exists; costs nothing once it does.
    bool start() override;
    bool reachesSession() const override { return state_ == State::ready; }
    // Both steps at once: opens the node and makes the device.
    State create();
    // Writes one key frame; a device that refuses it is replaced. Without a device nothing
    // happens: devices are made by start(), never for a press.
    void post(ArrowKey key, bool keyDown) override;
    // Removes the device, so that it feeds no seat until start() makes a new one.
    void stop() override;

private:
    bool declareKeyboard(int fd);

    std::unique_ptr<UinputSystemCalls> calls_;
    std::string path_;
    int fd_ = -1;
    State state_ = State::unavailable;
};

} // namespace quenlark
