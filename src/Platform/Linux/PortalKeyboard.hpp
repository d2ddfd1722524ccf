// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Linux/ArrowKeyPoster.hpp"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <deque>
#include <functional>
#include <utility>

namespace quenlark {

class UserDefaults;

// Keys through the desktop's remote-desktop portal: the user consents in the desktop's own
// dialog, and the portal types for us. Nothing here waits for the user; every answer arrives as
// a D-Bus signal or reply on the event loop.
class PortalKeyboard : public QObject, public ArrowKeyPoster {
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

    // Whether the session bus offers the portal with a keyboard. The first call asks the portal,
    // waiting a few seconds at most (it may be started on demand); later calls cost nothing.
    bool isAvailable();
    State state() const { return m_state; }
    unsigned version() const { return m_version; }

    // Opens a session and asks the desktop for the keyboard, unless that is under way or done.
    void requestConsent();
    // Called when the desktop's answer was no, or the dialog was dismissed.
    std::function<void()> onRefused;

    // Keys are sent one at a time: the portal handles calls concurrently, so a release sent before
    // the press's reply can overtake the press and leave the key held down.
    void post(ArrowKey key, bool keyDown) override;

private Q_SLOTS:
    void requestAnswered(uint response, const QVariantMap& results);
    void sessionClosed();

private:
    enum class Step { createSession, selectDevices, start };

    void ask(Step step, const QString& method, QVariantList arguments, QVariantMap options);
    void listenForResponse(const QString& requestPath);
    void refuse();
    void forgetSession(bool close);
    void sendNextKey();
    QString senderToken() const;

    UserDefaults& m_defaults;
    QDBusConnection m_bus;
    State m_state = State::unavailable;
    unsigned m_version = 0;
    bool m_probed = false;
    Step m_step = Step::createSession;
    unsigned m_request = 0;
    QString m_requestPath;
    QString m_session;
    std::deque<std::pair<int, bool>> m_keys;
    bool m_sending = false;
};

} // namespace quenlark
