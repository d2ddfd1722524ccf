// SPDX-License-Identifier: MIT
#include "Platform/Linux/Keys/LogindSession.hpp"

#include "Core/DiagnosticLog.hpp"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
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
const QString seatInterface = QStringLiteral("org.freedesktop.login1.Seat");
const QString seatPath = QStringLiteral("/org/freedesktop/login1/seat/seat0");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
// The permission poll's period: a session found later is followed from the next poll on.
constexpr int retryMilliseconds = 2000;

// logind's (so) and (uo) pairs: a seat's or session's id, or a user's number, and its object path.
// Anything else reads as an empty pair.
template <typename First>
std::pair<First, QString> logindPair(const QVariant& value, const char* signature)
{
    First first{};
    QDBusObjectPath path;
    if (value.metaType() == QMetaType::fromType<QDBusArgument>()) {
        const auto argument = value.value<QDBusArgument>();
        if (argument.currentSignature() == QLatin1StringView(signature)) {
            argument.beginStructure();
            argument >> first >> path;
            argument.endStructure();
        }
    }
    return {first, path.path()};
}
} // namespace

LogindSession::LogindSession(QDBusConnection bus) : bus_(std::move(bus))
{
    retry_.setSingleShot(true);
    retry_.setInterval(retryMilliseconds);
    connect(&retry_, &QTimer::timeout, this, &LogindSession::lookUp);
    if (!bus_.isConnected()) {
        lookUpFailed(QDBusError(QDBusError::ServiceUnknown, QStringLiteral("no system bus")));
        return;
    }
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
             [this](const QVariant& id) { sessionIdFound(id); });
}

// Never starts logind: where it does not run, asking the bus to would spawn a helper per call.
void LogindSession::call(const QString& path, const QString& interface, const QString& method,
                         const QVariantList& arguments, Reply onReply)
{
    auto message = QDBusMessage::createMethodCall(logindService, path, interface, method);
    message.setArguments(arguments);
    message.setAutoStartService(false);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, onReply = std::move(onReply)](QDBusPendingCallWatcher* reply) {
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
                onReply(value);
            });
}

void LogindSession::lookUpFailed(const QDBusError& error)
{
    const bool noLogind =
        error.type() == QDBusError::ServiceUnknown ||
        error.name() == QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner");
    if (!failureReported_)
        qCInfo(lcDiagnostic).noquote()
            << (noLogind ? QStringLiteral("[Session] logind is not running; keys are sent without "
                                          "its word on who has the seat: ")
                         : QStringLiteral("[Session] logind did not tell whether this session is "
                                          "active; keys are sent meanwhile: ")) +
                   error.message();
    failureReported_ = true;
    if (!active_) {
        active_ = true;
        Q_EMIT activeChanged(true);
    }
    // Without logind (a container) keys flow as they always did. A stale XDG_SESSION_ID or an
    // error of logind's: the lookup starts over at the next poll.
    if (!noLogind)
        retry_.start();
}

void LogindSession::sessionIdFound(const QVariant& id)
{
    call(managerPath, managerInterface, QStringLiteral("GetSession"), {id.toString()},
         [this](const QVariant& path) { sessionFound(path); });
}

void LogindSession::sessionFound(const QVariant& path)
{
    const QString found = path.value<QDBusObjectPath>().path();
    if (found.isEmpty())
        return;
    path_ = found;
    // Subscribed before the first read, so that no change falls between the two.
    watch(watched_, path_);
    readSession(path_);
}

void LogindSession::readSession(const QString& path)
{
    call(path, propertiesInterface, QStringLiteral("GetAll"), {sessionInterface},
         [this, path](const QVariant& properties) {
             sessionRead(path, qdbus_cast<QVariantMap>(properties));
         });
}

void LogindSession::sessionRead(const QString& path, const QVariantMap& properties)
{
    // Users are told apart by their objects; a session whose user cannot be read is nobody's.
    const QString user = logindPair<uint>(properties.value(QStringLiteral("User")), "(uo)").second;
    if (path == path_) {
        const bool seated =
            !logindPair<QString>(properties.value(QStringLiteral("Seat")), "(so)").first.isEmpty();
        if (seated) {
            watch(seat_, {});
            seatSession_.clear();
            setActive(properties.value(QStringLiteral("Active")));
            return;
        }
        watch(watched_, {});
        user_ = user;
        watch(seat_, seatPath);
        readSeat();
    } else if (path == seatSession_) {
        setActive(!user.isEmpty() && user == user_);
    }
}

void LogindSession::readSeat()
{
    call(seat_, propertiesInterface, QStringLiteral("Get"),
         {seatInterface, QStringLiteral("ActiveSession")},
         [this, seat = seat_](const QVariant& session) {
             if (seat == seat_)
                 seatSessionFound(session);
         });
}

void LogindSession::seatSessionFound(const QVariant& session)
{
    // Nobody has the seat: keys would go to whoever takes it.
    const QString path = logindPair<QString>(session, "(so)").second;
    if (path.isEmpty() || path == u"/") {
        seatSession_.clear();
        setActive(false);
        return;
    }
    seatSession_ = path;
    readSession(seatSession_);
}

// Follows one object's PropertiesChanged in the slot `watched`, once per path.
void LogindSession::watch(QString& watched, const QString& path)
{
    if (watched == path)
        return;
    const QString signal = QStringLiteral("PropertiesChanged");
    const char* slot = SLOT(propertiesChanged(QString, QVariantMap, QStringList, QDBusMessage));
    if (!watched.isEmpty())
        bus_.disconnect(logindService, watched, propertiesInterface, signal, this, slot);
    watched = path;
    if (!watched.isEmpty())
        bus_.connect(logindService, watched, propertiesInterface, signal, this, slot);
}

void LogindSession::propertiesChanged(const QString& interface, const QVariantMap& changed,
                                      const QStringList& invalidated, const QDBusMessage& message)
{
    // A signal disconnected from may still be delivered once.
    if (interface == sessionInterface && message.path() == watched_) {
        const auto active = changed.constFind(QStringLiteral("Active"));
        if (active != changed.cend())
            setActive(*active);
        else if (invalidated.contains(QStringLiteral("Active")))
            readSession(watched_);
    } else if (interface == seatInterface && message.path() == seat_) {
        const auto session = changed.constFind(QStringLiteral("ActiveSession"));
        if (session != changed.cend())
            seatSessionFound(*session);
        else if (invalidated.contains(QStringLiteral("ActiveSession")))
            readSeat();
    }
}

void LogindSession::setActive(const QVariant& active)
{
    failureReported_ = false;
    if (active.metaType() != QMetaType::fromType<bool>() || active_ == active.toBool())
        return;
    active_ = active.toBool();
    Q_EMIT activeChanged(*active_);
}

} // namespace quenlark
