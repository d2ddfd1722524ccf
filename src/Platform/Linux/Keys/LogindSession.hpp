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

namespace quenlark {

// Whether this program's own login session is the active one on its seat, as logind tells it.
// Another user switching in, or the greeter or lock screen taking the seat, makes it inactive.
// logind calls a session without a seat (ssh, tmux) active throughout; such a session counts as
// active only while its user has no graphical session on a seat, and otherwise follows the one
// logind names as the user's display: keys typed from there would reach that seat. Without logind
// (a container, no system bus) the session counts as active throughout; so it does while logind
// cannot answer for it (a stale XDG_SESSION_ID, an error), which is logged once and looked up
// again every 2 seconds.
class LogindSession : public QObject {
    Q_OBJECT
public:
    // Looks the session up without waiting: XDG_SESSION_ID when set, else logind's "auto" session
    // (the caller's, or its user's graphical one).
    explicit LogindSession(QDBusConnection bus = QDBusConnection::systemBus());

    bool isActive() const { return active_; }

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
    void readDisplay();
    void displayFound(const QVariant& display);
    void watch(QString& watched, const QString& path);
    void setActive(const QVariant& active);

    QDBusConnection bus_;
    QString path_;    // this program's own session
    QString user_;    // its user, watched for the display session while the own one has no seat
    QString display_; // the user's display session, followed while the own one has no seat
    QString watched_; // the session whose Active is followed
    QTimer retry_;
    bool failureReported_ = false;
    bool active_ = true;
};

} // namespace quenlark
