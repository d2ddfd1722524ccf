// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/KeyEvents.hpp"
#include "Platform/Linux/KeyBackend.hpp"
#include "Platform/Linux/UinputKeyboard.hpp"
#include "Platform/Linux/UinputSystemCalls.hpp"
#include "Platform/Linux/XTestKeyboard.hpp"

#include <memory>

namespace quenlark {

// Key events for Linux sessions: XTest on an X11 server that has it, otherwise the one uinput
// virtual keyboard, which is made at construction and again once access to it appears.
class LinuxKeyEventServices : public KeyEventServices {
public:
    explicit LinuxKeyEventServices(
        const SessionEnvironment& environment = SessionEnvironment::current(),
        std::unique_ptr<UinputSystemCalls> calls = std::make_unique<RealUinputSystemCalls>());
    ~LinuxKeyEventServices() override;

    // The backend that reaches this session now. Makes the virtual keyboard when access to
    // /dev/uinput has appeared; once it exists, or XTest is in use, this makes no system call.
    KeyBackend refreshBackend();
    KeyBackend backend() const { return m_backend; }
    UinputKeyboard::State uinputState() const { return m_uinput.state(); }

    std::unique_ptr<EventSource> createEventSource(int stateID) override;
    std::unique_ptr<KeyboardEvent>
    createKeyboardEvent(EventSource* source, std::uint16_t virtualKey, bool keyDown) override;
    void postEvent(int tapLocation, KeyboardEvent& event) override;

private:
    ArrowKeyPoster* selectedPoster();

    SessionFacts m_facts;
    std::unique_ptr<XTestKeyboard> m_xtest;
    std::unique_ptr<UinputSystemCalls> m_calls;
    UinputKeyboard m_uinput;
    KeyBackend m_backend = KeyBackend::none;
};

} // namespace quenlark
