// SPDX-License-Identifier: MIT
#pragma once

#include <QDBusConnection>
#include <QDBusError>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

namespace quenlark {

// Whether this program's own login session is the active one on its seat, as logind tells it.
// Another user switching in, or the greeter or lock screen taking the seat, makes it inactive.
// Without logind (a container, no system bus) the session counts as active throughout; so it does
// while logind cannot answer for it (a stale XDG_SESSION_ID, an error), which is logged once and
// looked up again every 2 seconds.
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
                           const QStringList& invalidated);

private:
    void lookUp();
    void lookUpFailed(const QDBusError& error);
    void call(const QString& path, const QString& interface, const QString& method,
              const QVariantList& arguments, void (LogindSession::*onReply)(const QVariant&));
    void sessionIdFound(const QVariant& id);
    void sessionFound(const QVariant& path);
    void setActive(const QVariant& active);

    QDBusConnection bus_;
    QString path_;
    QTimer retry_;
    bool failureReported_ = false;
    bool active_ = true;
};

} // namespace quenlark
