// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Linux/Keys/ArrowKey.hpp"
#include "Platform/Linux/Keys/SessionEnvironment.hpp"

#include <QObject>

#include <memory>
#include <vector>

namespace quenlark {

// One way of making arrow keys reach the user's session. LinuxKeyEventServices holds them in order
// of preference and posts through the first one this session offers.
class KeyBackend : public QObject {
    Q_OBJECT

public:
    enum class Presence {
        pending, // the answer is on its way; presenceKnown() follows on the event loop
        absent,
        present,
    };

    // Whether this session offers this way in. Asked again at every choice until a way before it
    // is present, so that an answer that can change (access granted meanwhile) is learnt; answers
    // that cannot change are kept. Makes nothing the seat can see.
    virtual Presence presence(SessionType session) = 0;
    // Makes what posting needs (a device, a keyboard on the compositor) unless it exists; called
    // whenever this way is the one chosen, so it costs nothing once done. Whether keys posted now
    // reach the session.
    virtual bool start() = 0;
    virtual bool reachesSession() const = 0;
    virtual void post(ArrowKey key, bool keyDown) = 0;
    // This session no longer has the seat: anything that could feed another user's session goes,
    // until start() again.
    virtual void stop() {}
    // Asks the user for this way in where it has a consent of its own (the desktop's dialog); false
    // where it has none, and the caller offers its own grant.
    virtual bool requestConsent() { return false; }

Q_SIGNALS:
    void presenceKnown();
    // The user said no to requestConsent(), or dismissed its dialog.
    void consentRefused();
};

using KeyBackendList = std::vector<std::unique_ptr<KeyBackend>>;

} // namespace quenlark
