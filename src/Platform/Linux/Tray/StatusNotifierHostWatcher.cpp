// SPDX-License-Identifier: MIT
#include "Platform/Linux/Tray/StatusNotifierHostWatcher.hpp"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

namespace quenlark {

namespace {
const QString& watcherPath()
{
    static const QString path = QStringLiteral("/StatusNotifierWatcher");
    return path;
}
const QString& watcherInterface()
{
    static const QString interface = QStringLiteral("org.kde.StatusNotifierWatcher");
    return interface;
}
constexpr int queryTimeoutMilliseconds = 5000;
} // namespace

const QString& StatusNotifierHostWatcher::watcherService()
{
    static const QString service = QStringLiteral("org.kde.StatusNotifierWatcher");
    return service;
}

StatusNotifierHostWatcher::StatusNotifierHostWatcher(const QDBusConnection& bus, QObject* parent)
    : QObject(parent), bus_(bus), serviceWatcher_(new QDBusServiceWatcher(this))
{}

void StatusNotifierHostWatcher::start()
{
    if (!bus_.isConnected()) {
        setPresent(false);
        return;
    }
    serviceWatcher_->setConnection(bus_);
    serviceWatcher_->setWatchMode(QDBusServiceWatcher::WatchForOwnerChange);
    serviceWatcher_->addWatchedService(watcherService());
    connect(serviceWatcher_, &QDBusServiceWatcher::serviceOwnerChanged, this, [this] { query(); });
    // The watcher may exist before any host has registered with it.
    for (const char* signal : {"StatusNotifierHostRegistered", "StatusNotifierHostUnregistered"}) {
        bus_.connect(watcherService(), watcherPath(), watcherInterface(),
                     QString::fromLatin1(signal), this, SLOT(query()));
    }
    query();
}

void StatusNotifierHostWatcher::query()
{
    const quint64 id = ++lastQuery_;
    QDBusMessage get = QDBusMessage::createMethodCall(
        watcherService(), watcherPath(), QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get << watcherInterface() << QStringLiteral("IsStatusNotifierHostRegistered");
    auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(get, queryTimeoutMilliseconds), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this, id](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        // Only the newest question counts; an older answer may describe a vanished watcher.
        if (id != lastQuery_)
            return;
        const QDBusPendingReply<QDBusVariant> reply = *w;
        setPresent(!reply.isError() && reply.value().variant().toBool());
    });
}

void StatusNotifierHostWatcher::setPresent(bool present)
{
    if (present_ == present)
        return;
    present_ = present;
    Q_EMIT presenceChanged(present);
}

} // namespace quenlark
