// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/KeyEvents.hpp"
#include "Platform/Linux/KeyBackend.hpp"
#include "Platform/Linux/UinputKeyboard.hpp"
#include "Platform/Linux/UinputSystemCalls.hpp"
#include "Platform/Linux/XTestKeyboard.hpp"

#include <memory>

namespace quenlark {

class PortalKeyboard;

// Key events for Linux sessions: XTest on an X11 server that has it, otherwise the one uinput
// virtual keyboard, which is made at construction and again once access to it appears, otherwise
// the remote-desktop portal when one is given and the desktop offers it.
class LinuxKeyEventServices : public KeyEventServices {
public:
    explicit LinuxKeyEventServices(
        const SessionEnvironment& environment = SessionEnvironment::current(),
        std::unique_ptr<UinputSystemCalls> calls = std::make_unique<RealUinputSystemCalls>(),
        PortalKeyboard* portal = nullptr);
    ~LinuxKeyEventServices() override;

    // The backend for this session now. Makes the virtual keyboard when access to /dev/uinput has
    // appeared; once it exists, or XTest is in use, this makes no system call.
    KeyBackend refreshBackend();
    KeyBackend backend() const { return m_backend; }
    // Whether keys posted now reach the session: the portal counts once the user consented.
    bool reachesSession() const;
    UinputKeyboard::State uinputState() const { return m_uinput.state(); }
    PortalKeyboard* portal() const { return m_portal; }

    // While this user's login session is not the active one on its seat (another user switched
    // in, or the greeter has it) no key is posted and the virtual keyboard is removed, so that it
    // feeds nobody else's session; it is made again when the session is active again.
    void setSessionActive(bool active);

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
    PortalKeyboard* m_portal;
    KeyBackend m_backend = KeyBackend::none;
    bool m_sessionActive = true;
};

} // namespace quenlark
