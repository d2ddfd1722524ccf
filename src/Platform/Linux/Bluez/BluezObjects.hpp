// SPDX-License-Identifier: MIT
#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <QVariantMap>

#include <functional>

class QDBusArgument;
class QDBusError;
class QDBusPendingCall;
class QObject;

// bluetoothd's D-Bus vocabulary: its names, and the decoding of what it sends.
namespace quenlark::BluezObjects {

inline const QString service = QStringLiteral("org.bluez");
inline const QString adapterInterface = QStringLiteral("org.bluez.Adapter1");
inline const QString deviceInterface = QStringLiteral("org.bluez.Device1");
inline const QString gattServiceInterface = QStringLiteral("org.bluez.GattService1");
inline const QString characteristicInterface = QStringLiteral("org.bluez.GattCharacteristic1");
inline const QString objectManagerInterface = QStringLiteral("org.freedesktop.DBus.ObjectManager");
inline const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// The errors that say a pending Connect ended because the device did not show up in time (the
// kernel's bound on an LE connection) rather than because it refused.
inline const QString connectionAbortedLocally = QStringLiteral("le-connection-abort-by-local");

// Interface name to its properties, as InterfacesAdded carries them (a{sa{sv}}).
using Interfaces = QHash<QString, QVariantMap>;
// Object path to its interfaces, as GetManagedObjects answers (a{oa{sa{sv}}}).
using Objects = QHash<QString, Interfaces>;

Interfaces decodeInterfaces(const QDBusArgument& argument);
Objects decodeObjects(const QDBusArgument& argument);

// Linux has no per-device UUID: the address is carried in the last twelve digits.
QUuid identifierOf(const QString& address);

// Whether these service UUIDs make a device a keyboard or mouse to the system: the input profile
// bonds such a device as soon as its services are known.
bool offersInput(const QStringList& uuids);

// The UUIDs of a Device1's properties, as QUuid values.
QList<QUuid> uuidsOf(const QVariantMap& device);

// Calls `done` on the main thread with the call's error (none when it succeeded) once bluetoothd
// answers, unless `context` is gone by then.
void whenAnswered(QObject* context, const QDBusPendingCall& call,
                  std::function<void(const QDBusError& error)> done);

struct Device {
    QString path;
    // Its org.bluez.Device1 properties.
    QVariantMap properties;
};

// Asks bluetoothd for the devices it lists, without waiting. `done` gets them on the main thread
// once it answers (none when it does not), unless `context` is gone by then.
void listDevices(QObject* context, std::function<void(const QList<Device>& devices)> done);

} // namespace quenlark::BluezObjects
