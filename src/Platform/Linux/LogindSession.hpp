// SPDX-License-Identifier: MIT
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace quenlark {

// Whether this program's own login session is the active one on its seat, as logind tells it.
// Another user switching in, or the greeter or lock screen taking the seat, makes it inactive.
// Without logind (a container, no system bus) the session counts as active throughout.
class LogindSession : public QObject {
    Q_OBJECT
public:
    // Looks the session up without waiting: XDG_SESSION_ID when set, else logind's "auto" session
    // (the caller's, or its user's graphical one).
    explicit LogindSession(QDBusConnection bus = QDBusConnection::systemBus());

    bool isActive() const { return m_active; }

Q_SIGNALS:
    void activeChanged(bool active);

private Q_SLOTS:
    void propertiesChanged(const QString& interface, const QVariantMap& changed,
                           const QStringList& invalidated);

private:
    void call(const QString& path, const QString& interface, const QString& method,
              const QVariantList& arguments, void (LogindSession::*onReply)(const QVariant&));
    void sessionIdFound(const QVariant& id);
    void sessionFound(const QVariant& path);
    void setActive(const QVariant& active);

    QDBusConnection m_bus;
    QString m_path;
    bool m_active = true;
};

} // namespace quenlark
