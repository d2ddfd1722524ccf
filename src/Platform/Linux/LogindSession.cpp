// SPDX-License-Identifier: MIT
#include "Platform/Linux/LogindSession.hpp"

#include "Core/DiagnosticLog.hpp"

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
// The permission poll's period: a session found later is followed from the next poll on.
constexpr int retryMilliseconds = 2000;
} // namespace

LogindSession::LogindSession(QDBusConnection bus) : bus_(std::move(bus))
{
    if (!bus_.isConnected())
        return;
    retry_.setSingleShot(true);
    retry_.setInterval(retryMilliseconds);
    connect(&retry_, &QTimer::timeout, this, &LogindSession::lookUp);
    lookUp();
}

void LogindSession::lookUp()
{
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
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, onReply](QDBusPendingCallWatcher* reply) {
                reply->deleteLater();
                if (reply->isError()) {
                    lookUpFailed(reply->error());
                    return;
                }
                if (reply->reply().arguments().isEmpty())
                    return;
                QVariant value = reply->reply().arguments().constFirst();
                if (value.metaType() == QMetaType::fromType<QDBusVariant>())
                    value = value.value<QDBusVariant>().variant();
                (this->*onReply)(value);
            });
}

void LogindSession::lookUpFailed(const QDBusError& error)
{
    // Without logind (a container) keys flow as they always did.
    if (error.type() == QDBusError::ServiceUnknown)
        return;
    // A stale XDG_SESSION_ID or an error of logind's: keys keep flowing, said once, and the lookup
    // starts over at the next poll.
    if (!failureReported_)
        writeDiagnosticLine(QStringLiteral("[Session] logind did not tell whether this session is "
                                           "active; keys are sent meanwhile: ") +
                            error.message());
    failureReported_ = true;
    retry_.start();
}

void LogindSession::sessionIdFound(const QVariant& id)
{
    call(managerPath, managerInterface, QStringLiteral("GetSession"), {id.toString()},
         &LogindSession::sessionFound);
}

void LogindSession::sessionFound(const QVariant& path)
{
    const QString found = path.value<QDBusObjectPath>().path();
    if (found.isEmpty())
        return;
    // Subscribed before the first read, so that no change falls between the two; once per path,
    // however often the lookup starts over.
    const QString signal = QStringLiteral("PropertiesChanged");
    const char* slot = SLOT(propertiesChanged(QString, QVariantMap, QStringList));
    if (found != path_) {
        if (!path_.isEmpty())
            bus_.disconnect(logindService, path_, propertiesInterface, signal, this, slot);
        path_ = found;
        bus_.connect(logindService, path_, propertiesInterface, signal, this, slot);
    }
    call(path_, propertiesInterface, QStringLiteral("Get"),
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
        call(path_, propertiesInterface, QStringLiteral("Get"),
             {sessionInterface, QStringLiteral("Active")}, &LogindSession::setActive);
}

void LogindSession::setActive(const QVariant& active)
{
    failureReported_ = false;
    if (active.metaType() != QMetaType::fromType<bool>() || active.toBool() == active_)
        return;
    active_ = active.toBool();
    Q_EMIT activeChanged(active_);
}

} // namespace quenlark
