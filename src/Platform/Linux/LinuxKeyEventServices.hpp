// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/KeyEvents.hpp"
#include "Platform/Linux/KeyBackend.hpp"
#include "Platform/Linux/UinputKeyboard.hpp"
#include "Platform/Linux/UinputSystemCalls.hpp"
#include "Platform/Linux/VirtualKeyboardCalls.hpp"
#include "Platform/Linux/WaylandVirtualKeyboard.hpp"
#include "Platform/Linux/XTestKeyboard.hpp"

#include <QObject>

#include <functional>
#include <memory>

namespace quenlark {

class PortalKeyboard;

// Key events for Linux sessions, by the first way in that the session offers (see selectBackend):
// XTest, the remote-desktop portal when one is given, the Wayland compositor's virtual keyboard, or
// the one uinput device, which is made only where nothing else reaches the session, and again once
// access to it appears.
class LinuxKeyEventServices : public KeyEventServices {
public:
    // Without Wayland calls, the real ones on the environment's display.
    explicit LinuxKeyEventServices(
        const SessionEnvironment& environment = SessionEnvironment::current(),
        std::unique_ptr<UinputSystemCalls> calls = std::make_unique<RealUinputSystemCalls>(),
        PortalKeyboard* portal = nullptr,
        std::unique_ptr<VirtualKeyboardCalls> waylandCalls = nullptr);
    ~LinuxKeyEventServices() override;

    // The backend for this session now: none until the portal's presence is known, which comes
    // later on the event loop. Makes the uinput device when access to /dev/uinput has appeared and
    // nothing else reaches the session; once it exists, or another backend is in use, this makes no
    // system call.
    KeyBackend refreshBackend();
    // Whether the choice no longer waits for the portal's answer.
    bool settled() const;
    // Called once, when the portal's answer has settled the choice.
    std::function<void()> onSettled;
    KeyBackend backend() const { return backend_; }
    // Whether keys posted now reach the session: the portal counts once the user consented.
    bool reachesSession() const;
    PortalKeyboard* portal() const { return portal_; }

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

    SessionFacts facts_;
    std::unique_ptr<XTestKeyboard> xtest_;
    std::unique_ptr<UinputSystemCalls> calls_;
    UinputKeyboard uinput_;
    std::unique_ptr<VirtualKeyboardCalls> waylandCalls_;
    WaylandVirtualKeyboard virtualKeyboard_;
    bool virtualKeyboardReady_ = false;
    PortalKeyboard* portal_;
    KeyBackend backend_ = KeyBackend::none;
    bool sessionActive_ = true;
    // Ends the wait for the portal's answer with this object.
    QObject context_;
};

} // namespace quenlark
