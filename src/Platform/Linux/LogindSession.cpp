// SPDX-License-Identifier: MIT
#include "Platform/Linux/LogindSession.hpp"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>

#include <utility>

namespace quenlark {

namespace {
const QString logindService = QStringLiteral("org.freedesktop.login1");
const QString managerPath = QStringLiteral("/org/freedesktop/login1");
const QString managerInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString sessionInterface = QStringLiteral("org.freedesktop.login1.Session");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
} // namespace

LogindSession::LogindSession(QDBusConnection bus) : m_bus(std::move(bus))
{
    if (!m_bus.isConnected())
        return;
    const QString id = qEnvironmentVariable("XDG_SESSION_ID");
    if (!id.isEmpty())
        sessionIdFound(id);
    else
        call(QStringLiteral("/org/freedesktop/login1/session/auto"), propertiesInterface,
             QStringLiteral("Get"), {sessionInterface, QStringLiteral("Id")},
             &LogindSession::sessionIdFound);
}

void LogindSession::call(const QString& path, const QString& interface, const QString& method,
                         const QVariantList& arguments,
                         void (LogindSession::*onReply)(const QVariant&))
{
    auto message = QDBusMessage::createMethodCall(logindService, path, interface, method);
    message.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, onReply](QDBusPendingCallWatcher* reply) {
                reply->deleteLater();
                // No logind, or no session of ours: keys flow as they always did.
                if (reply->isError() || reply->reply().arguments().isEmpty())
                    return;
                QVariant value = reply->reply().arguments().constFirst();
                if (value.metaType() == QMetaType::fromType<QDBusVariant>())
                    value = value.value<QDBusVariant>().variant();
                (this->*onReply)(value);
            });
}

void LogindSession::sessionIdFound(const QVariant& id)
{
    call(managerPath, managerInterface, QStringLiteral("GetSession"), {id.toString()},
         &LogindSession::sessionFound);
}

void LogindSession::sessionFound(const QVariant& path)
{
    m_path = path.value<QDBusObjectPath>().path();
    if (m_path.isEmpty())
        return;
    // Subscribed before the first read, so that no change falls between the two.
    m_bus.connect(logindService, m_path, propertiesInterface, QStringLiteral("PropertiesChanged"),
                  this, SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
    call(m_path, propertiesInterface, QStringLiteral("Get"),
         {sessionInterface, QStringLiteral("Active")}, &LogindSession::setActive);
}

void LogindSession::propertiesChanged(const QString& interface, const QVariantMap& changed,
                                      const QStringList& invalidated)
{
    if (interface != sessionInterface)
        return;
    const auto active = changed.constFind(QStringLiteral("Active"));
    if (active != changed.cend())
        setActive(*active);
    else if (invalidated.contains(QStringLiteral("Active")))
        call(m_path, propertiesInterface, QStringLiteral("Get"),
             {sessionInterface, QStringLiteral("Active")}, &LogindSession::setActive);
}

void LogindSession::setActive(const QVariant& active)
{
    if (active.metaType() != QMetaType::fromType<bool>() || active.toBool() == m_active)
        return;
    m_active = active.toBool();
    Q_EMIT activeChanged(m_active);
}

} // namespace quenlark
