// SPDX-License-Identifier: MIT
#include "Platform/Linux/Bluez/BluezObjects.hpp"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>

#include <algorithm>

namespace quenlark::BluezObjects {

Interfaces decodeInterfaces(const QDBusArgument& argument)
{
    Interfaces interfaces;
    argument.beginMap();
    while (!argument.atEnd()) {
        QString name;
        QVariantMap properties;
        argument.beginMapEntry();
        argument >> name >> properties;
        argument.endMapEntry();
        interfaces.insert(name, properties);
    }
    argument.endMap();
    return interfaces;
}

Objects decodeObjects(const QDBusArgument& argument)
{
    Objects objects;
    argument.beginMap();
    while (!argument.atEnd()) {
        QDBusObjectPath path;
        argument.beginMapEntry();
        argument >> path;
        objects.insert(path.path(), decodeInterfaces(argument));
        argument.endMapEntry();
    }
    argument.endMap();
    return objects;
}

QUuid identifierOf(const QString& address)
{
    const QStringList bytes = address.split(u':');
    if (bytes.size() != 6)
        return {};
    uchar value[6];
    for (int index = 0; index < 6; ++index) {
        bool ok = false;
        value[index] = static_cast<uchar>(bytes[index].toUInt(&ok, 16));
        if (!ok || bytes[index].size() != 2)
            return {};
    }
    return QUuid(0, 0, 0, 0, 0, value[0], value[1], value[2], value[3], value[4], value[5]);
}

bool offersInput(const QStringList& uuids)
{
    static const QUuid hid = QUuid(QStringLiteral("00001812-0000-1000-8000-00805f9b34fb"));
    static const QUuid hidClassic = QUuid(QStringLiteral("00001124-0000-1000-8000-00805f9b34fb"));
    return std::any_of(uuids.begin(), uuids.end(), [](const QString& uuid) {
        const QUuid value(uuid);
        return value == hid || value == hidClassic;
    });
}

QList<QUuid> uuidsOf(const QVariantMap& device)
{
    QList<QUuid> uuids;
    for (const QString& uuid : device.value(QStringLiteral("UUIDs")).toStringList())
        uuids.append(QUuid(uuid));
    return uuids;
}

void whenAnswered(QObject* context, const QDBusPendingCall& call,
                  std::function<void(const QDBusError& error)> done)
{
    auto* watcher = new QDBusPendingCallWatcher(call, context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [watcher, done = std::move(done)] {
                         watcher->deleteLater();
                         done(watcher->error());
                     });
}

void listDevices(QObject* context, std::function<void(const QList<Device>& devices)> done)
{
    const auto call = QDBusMessage::createMethodCall(
        service, QStringLiteral("/"), objectManagerInterface, QStringLiteral("GetManagedObjects"));
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(call), context);
    QObject::connect(
        watcher, &QDBusPendingCallWatcher::finished, context, [watcher, done = std::move(done)] {
            watcher->deleteLater();
            QList<Device> devices;
            const QDBusMessage reply = watcher->reply();
            if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
                const Objects objects =
                    decodeObjects(reply.arguments().constFirst().value<QDBusArgument>());
                for (auto it = objects.begin(); it != objects.end(); ++it) {
                    if (it->contains(deviceInterface))
                        devices.append({it.key(), it->value(deviceInterface)});
                }
            }
            done(devices);
        });
}

} // namespace quenlark::BluezObjects
