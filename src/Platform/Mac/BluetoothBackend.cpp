// SPDX-License-Identifier: MIT
#include "Platform/Qt/BluetoothBackend.hpp"

#include <QBluetoothDeviceInfo>
#include <QObject>

namespace quenlark::BluetoothBackend {

// Qt has only CoreBluetooth on macOS: nothing to choose.
void prepare() {}

// CoreBluetooth hides the address and gives each device a UUID of its own on this Mac.
QUuid identifier(const QBluetoothDeviceInfo& device)
{
    return device.deviceUuid();
}

std::optional<QString> name(const QBluetoothDeviceInfo& device)
{
    const QString name = device.name();
    if (name.isEmpty())
        return std::nullopt;
    return name;
}

// CoreBluetooth keeps the HID service and its objects from apps, so what the device advertised is
// all that can be told here.
void knownServices(QObject* context, const QBluetoothDeviceInfo& device,
                   std::function<void(const std::optional<QList<QBluetoothUuid>>&)> done)
{
    QMetaObject::invokeMethod(
        context, [services = device.serviceUuids(), done = std::move(done)] { done(services); },
        Qt::QueuedConnection);
}

// Only bluetoothd needs a link kept while it resolves services; CoreBluetooth's may be cut at any
// point.
void resolvingServices(QObject* context, const QBluetoothDeviceInfo&,
                       std::function<void(bool)> done)
{
    QMetaObject::invokeMethod(
        context, [done = std::move(done)] { done(false); }, Qt::QueuedConnection);
}

// CoreBluetooth cannot drop a bond: the user removes the device in System Settings.
void forget(QObject*, const QBluetoothDeviceInfo&) {}

} // namespace quenlark::BluetoothBackend
