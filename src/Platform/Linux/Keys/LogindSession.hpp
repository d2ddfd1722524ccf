// SPDX-License-Identifier: MIT
#pragma once

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <functional>
#include <optional>

namespace quenlark {

// Whether this program's own login session is the active one on its seat, as logind tells it.
// Another user switching in, or the greeter or lock screen taking the seat, makes it inactive.
// logind calls a session without a seat (ssh, tmux) active throughout, yet keys typed from there
// reach whoever has seat0: such a session counts as active only while seat0's active session is
// its own user's. Until logind has answered nothing is known. Without logind (a container, no
// system bus) the session counts as active throughout, which is said once; so it does while logind
// cannot answer for it (a stale XDG_SESSION_ID, an error), which is said once and looked up again
// every 2 seconds.
class LogindSession : public QObject {
    Q_OBJECT
public:
    // Looks the session up without waiting: XDG_SESSION_ID when set, else logind's "auto" session
    // (the caller's, or its user's graphical one).
    explicit LogindSession(QDBusConnection bus = QDBusConnection::systemBus());

    // Empty until logind has answered.
    std::optional<bool> active() const { return active_; }

Q_SIGNALS:
    void activeChanged(bool active);

private Q_SLOTS:
    void propertiesChanged(const QString& interface, const QVariantMap& changed,
                           const QStringList& invalidated, const QDBusMessage& message);

private:
    using Reply = std::function<void(const QVariant&)>;

    void lookUp();
    void lookUpFailed(const QDBusError& error);
    void call(const QString& path, const QString& interface, const QString& method,
              const QVariantList& arguments, Reply onReply);
    void sessionIdFound(const QVariant& id);
    void sessionFound(const QVariant& path);
    void readSession(const QString& path);
    void sessionRead(const QString& path, const QVariantMap& properties);
    void readSeat();
    void seatSessionFound(const QVariant& session);
    void watch(QString& watched, const QString& path);
    void setActive(const QVariant& active);

    QDBusConnection bus_;
    QString path_;        // this program's own session
    QString user_;        // its user, while the own session has no seat
    QString seat_;        // seat0, followed while the own session has no seat
    QString seatSession_; // seat0's active session, while the own one has no seat
    QString watched_;     // the own session, followed while it has a seat
    QTimer retry_;
    bool failureReported_ = false;
    std::optional<bool> active_;
};

} // namespace quenlark
