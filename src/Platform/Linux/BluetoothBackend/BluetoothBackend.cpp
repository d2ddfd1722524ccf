// SPDX-License-Identifier: MIT
#include "Platform/Qt/BluetoothBackend.hpp"

#include "Platform/Linux/Bluez/BluezObjects.hpp"

#include <QBluetoothAddress>
#include <QBluetoothDeviceInfo>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>

#include <algorithm>

namespace quenlark::BluetoothBackend {

// Qt asks bluetoothd for its version and falls back to its kernel ATT backend when it cannot, for
// instance in a sandbox that hides the daemon's process. That backend needs raw sockets and fights
// bluetoothd for the link, so the D-Bus GATT API (bluetoothd 5.42 and later) is chosen outright.
void prepare()
{
    qputenv("BLUETOOTH_FORCE_DBUS_LE_VERSION", "5.42");
}

// Linux has no per-device UUID: the address is carried in the last twelve digits.
QUuid identifier(const QBluetoothDeviceInfo& device)
{
    const quint64 address = device.address().toUInt64();
    const auto byte = [address](int index) {
        return static_cast<uchar>((address >> (8 * (5 - index))) & 0xff);
    };
    return QUuid(0, 0, 0, 0, 0, byte(0), byte(1), byte(2), byte(3), byte(4), byte(5));
}

// Qt reports BlueZ's alias, which for a device without a name is its address with dashes.
std::optional<QString> name(const QBluetoothDeviceInfo& device)
{
    const QString alias = device.name();
    QString addressAlias = device.address().toString();
    addressAlias.replace(u':', u'-');
    if (alias.isEmpty() || alias.compare(addressAlias, Qt::CaseInsensitive) == 0)
        return std::nullopt;
    return alias;
}

namespace {

const BluezObjects::Device* find(const QList<BluezObjects::Device>& devices,
                                 const QBluetoothAddress& address)
{
    const auto it = std::find_if(devices.begin(), devices.end(), [&address](const auto& device) {
        return QBluetoothAddress(device.properties.value(QStringLiteral("Address")).toString()) ==
               address;
    });
    return it == devices.end() ? nullptr : &*it;
}

} // namespace

void knownServices(QObject* context, const QBluetoothDeviceInfo& device,
                   std::function<void(const std::optional<QList<QBluetoothUuid>>&)> done)
{
    BluezObjects::listDevices(
        context, [address = device.address(), done = std::move(done)](const auto& devices) {
            const BluezObjects::Device* listed = find(devices, address);
            if (!listed) {
                done(std::nullopt);
                return;
            }
            QList<QBluetoothUuid> services;
            for (const QUuid& uuid : BluezObjects::uuidsOf(listed->properties))
                services.append(QBluetoothUuid(uuid));
            done(services);
        });
}

void resolvingServices(QObject* context, const QBluetoothDeviceInfo& device,
                       std::function<void(bool)> done)
{
    BluezObjects::listDevices(
        context, [address = device.address(), done = std::move(done)](const auto& devices) {
            const BluezObjects::Device* listed = find(devices, address);
            done(listed && listed->properties.value(QStringLiteral("Connected")).toBool() &&
                 !listed->properties.value(QStringLiteral("ServicesResolved")).toBool());
        });
}

// Adapter1.RemoveDevice drops a connected device's link (bluetoothd 5.66 waits two seconds for its
// profiles first), then its keys and its object.
void forget(QObject* context, const QBluetoothDeviceInfo& device)
{
    BluezObjects::listDevices(context, [address = device.address()](const auto& devices) {
        const BluezObjects::Device* listed = find(devices, address);
        if (!listed)
            return;
        auto call = QDBusMessage::createMethodCall(
            BluezObjects::service,
            listed->properties.value(QStringLiteral("Adapter")).value<QDBusObjectPath>().path(),
            BluezObjects::adapterInterface, QStringLiteral("RemoveDevice"));
        call << QVariant::fromValue(QDBusObjectPath(listed->path));
        QDBusConnection::systemBus().send(call);
    });
}

} // namespace quenlark::BluetoothBackend
