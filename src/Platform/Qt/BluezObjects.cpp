// SPDX-License-Identifier: MIT
#include "Platform/Qt/BluezObjects.hpp"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>

namespace quenlark::BluezObjects {

namespace {

using Each = std::function<void(const QString& path, const QVariantMap& device)>;

// The reply is a{oa{sa{sv}}}: object path to interface name to properties.
void readDevices(const QDBusMessage& reply, const Each& each)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return;
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
                each(path.path(), properties);
        }
        objects.endMap();
        objects.endMapEntry();
    }
    objects.endMap();
}

} // namespace

void forEachDevice(QObject* context, Each each)
{
    const auto call = QDBusMessage::createMethodCall(
        QStringLiteral("org.bluez"), QStringLiteral("/"),
        QStringLiteral("org.freedesktop.DBus.ObjectManager"), QStringLiteral("GetManagedObjects"));
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(call), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [watcher, each = std::move(each)] {
                         watcher->deleteLater();
                         readDevices(watcher->reply(), each);
                     });
}

} // namespace quenlark::BluezObjects
