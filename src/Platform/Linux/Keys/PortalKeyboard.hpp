// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Linux/Keys/KeyBackend.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariantMap>

#include <array>
#include <cstddef>
#include <deque>
#include <utility>

namespace quenlark {

class UserDefaults;

// Keys through the desktop's remote-desktop portal: the user consents in the desktop's own
// dialog, and the portal types for us. Nothing here waits for the user; every answer arrives as
// a D-Bus signal or reply on the event loop.
class PortalKeyboard : public KeyBackend {
    Q_OBJECT
public:
    enum class State {
        unavailable, // not asked yet, or no remote-desktop portal with a keyboard
        idle,        // no consent yet, or it was refused, or the desktop closed the session
        asking,      // the desktop's consent dialog may be open
        started,     // keys reach the session
    };

    explicit PortalKeyboard(UserDefaults& defaults,
                            QDBusConnection bus = QDBusConnection::sessionBus());
    ~PortalKeyboard() override;

    // Asks the session bus whether it offers the portal with a keyboard, once, without waiting:
    // the portal may be started on demand, which can take seconds at login. The answer comes as
    // presenceKnown(), on the event loop, also where there is no bus.
    void probe();
    // Whether the answer was yes; no until it came.
    bool isAvailable() const { return state_ != State::unavailable; }
    State state() const { return state_; }

    // In any kind of session: probed on the first ask, pending until the bus answers.
    Presence presence(SessionType session) override;
    bool start() override { return reachesSession(); }
    bool reachesSession() const override { return state_ == State::started; }
    // Opens a session and asks the desktop for the keyboard, unless that is under way or done.
    // A refusal comes as consentRefused().
    bool requestConsent() override;

    // Keys are sent one at a time: the portal handles calls concurrently, so a release sent before
    // the press's reply can overtake the press and leave the key held down. At most this many
    // presses wait for the desktop's reply; a press beyond them is dropped with its release, and
    // each run of drops is logged once, so that a flood of clicks cannot grow the queue unbounded.
    static constexpr std::size_t maxWaitingPresses = 64;
    void post(ArrowKey key, bool keyDown) override;

private Q_SLOTS:
    // A signal disconnected from may still be delivered once, so each looks at where it came from.
    void requestAnswered(uint response, const QVariantMap& results, const QDBusMessage& message);
    void sessionClosed(const QDBusMessage& message);

private:
    enum class Step { createSession, selectDevices, start };

    void probeAnswered(const QVariantMap& properties);
    void ask(Step step, const QString& method, QVariantList arguments, QVariantMap options);
    void listenForResponse(const QString& requestPath);
    void refuse();
    void forgetSession(bool close);
    void sendNextKey();
    QString senderToken() const;

    UserDefaults& defaults_;
    QDBusConnection bus_;
    State state_ = State::unavailable;
    unsigned version_ = 0;
    bool probing_ = false;
    bool probed_ = false;
    Step step_ = Step::createSession;
    unsigned request_ = 0;
    QString requestPath_;
    QString session_;
    std::deque<std::pair<int, bool>> keys_;
    bool sending_ = false;
    bool sendingPress_ = false;
    std::array<bool, 2> releaseDropped_{};
    bool dropping_ = false;
};

} // namespace quenlark
