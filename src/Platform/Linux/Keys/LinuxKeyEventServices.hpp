// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/KeyEvents.hpp"
#include "Platform/Linux/Keys/KeyBackend.hpp"
#include "Platform/Linux/Keys/SessionEnvironment.hpp"

#include <QObject>

#include <memory>
#include <optional>

namespace quenlark {

// Key events for Linux sessions, through the first of its ways in (most preferred first) that the
// session offers. Each later way is asked only while none before it is present, and none while an
// earlier answer is pending, so that, say, uinput is never opened where the portal will type.
class LinuxKeyEventServices : public QObject, public KeyEventServices {
    Q_OBJECT

public:
    LinuxKeyEventServices(const SessionEnvironment& environment, KeyBackendList backends);
    ~LinuxKeyEventServices() override;

    // Asks the ways in again, in order, and starts the first one present (see KeyBackend::start):
    // this is where a grant made meanwhile brings its way in up. Does nothing while the session
    // is not active.
    void refresh();
    // Null while none is present, or while an answer before the present one is pending.
    KeyBackend* chosen() const { return chosen_; }
    // Whether the choice no longer waits for an answer.
    bool isSettled() const { return settled_; }
    // Whether keys posted now reach the session. While another session has the seat nothing is
    // posted, and nothing is to be granted either.
    bool reachesSession() const;

    // While this user's login session is not the active one on its seat (another user switched
    // in, or the greeter has it) no key is posted and the chosen way is stopped, so that it feeds
    // nobody else's session; it is started again when the session is active again. Empty while
    // that is not known yet: the way in is chosen, but nothing is posted.
    void setSessionActive(std::optional<bool> active);

    std::unique_ptr<EventSource> createEventSource(int stateID) override;
    std::unique_ptr<KeyboardEvent>
    createKeyboardEvent(EventSource* source, std::uint16_t virtualKey, bool keyDown) override;
    void postEvent(int tapLocation, KeyboardEvent& event) override;

Q_SIGNALS:
    // A pending answer came and settled the choice.
    void settled();
    // The chosen way's own consent was refused.
    void consentRefused(quenlark::KeyBackend* backend);

private:
    SessionType session_;
    KeyBackendList backends_;
    KeyBackend* chosen_ = nullptr;
    bool settled_ = false;
    std::optional<bool> sessionActive_ = true;
};

} // namespace quenlark
