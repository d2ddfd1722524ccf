// SPDX-License-Identifier: MIT
#include "Platform/Linux/BluezObjects.hpp"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>

namespace quenlark::BluezObjects {

namespace {

// The reply is a{oa{sa{sv}}}: object path to interface name to properties.
QList<Device> readDevices(const QDBusMessage& reply)
{
    QList<Device> devices;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return devices;
    const auto objects = reply.arguments().constFirst().value<QDBusArgument>();
    objects.beginMap();
    while (!objects.atEnd()) {
        QDBusObjectPath path;
        objects.beginMapEntry();
        objects >> path;
        objects.beginMap();
        while (!objects.atEnd()) {
            QString interface;
            QVariantMap properties;
            objects.beginMapEntry();
            objects >> interface >> properties;
            objects.endMapEntry();
            if (interface == QStringLiteral("org.bluez.Device1"))
                devices.append({path.path(), properties});
        }
        objects.endMap();
        objects.endMapEntry();
    }
    objects.endMap();
    return devices;
}

} // namespace

void listDevices(QObject* context, std::function<void(const QList<Device>& devices)> done)
{
    const auto call = QDBusMessage::createMethodCall(
        QStringLiteral("org.bluez"), QStringLiteral("/"),
        QStringLiteral("org.freedesktop.DBus.ObjectManager"), QStringLiteral("GetManagedObjects"));
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(call), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [watcher, done = std::move(done)] {
                         watcher->deleteLater();
                         done(readDevices(watcher->reply()));
                     });
}

} // namespace quenlark::BluezObjects
