// SPDX-License-Identifier: MIT
#pragma once

#include <QBluetoothUuid>
#include <QList>
#include <QString>
#include <QUuid>

#include <functional>
#include <optional>

class QBluetoothDeviceInfo;
class QObject;

// What differs between the operating systems' Bluetooth stacks underneath Qt Bluetooth: this,
// AdapterPowerWatcher and ConnectedDevices are the seam, implemented in
// Platform/Linux/BluetoothBackend/ (BlueZ) and in Platform/Mac/ (CoreBluetooth); CMake picks the
// folder as quenlark::bluetooth_backend.
namespace quenlark::BluetoothBackend {

// Pins Qt's choice of Low Energy backend. Call it before the first Qt Bluetooth object is made.
void prepare();

// The identifier the link saves and compares for a device.
QUuid identifier(const QBluetoothDeviceInfo& device);

// The name the device gives itself; absent when it has none.
std::optional<QString> name(const QBluetoothDeviceInfo& device);

// Asks the stack which services the device offers, advertised or found on it, those claimed by the
// stack's own profiles included (BlueZ lists a HID service but hides its GATT objects). `done`
// gets them on the main thread, or nothing when the device is not listed, unless `context` goes
// first.
void knownServices(QObject* context, const QBluetoothDeviceInfo& device,
                   std::function<void(const std::optional<QList<QBluetoothUuid>>&)> done);

// Asks the stack whether the device's link is up while its services are still being resolved.
// `done` gets the answer on the main thread, unless `context` goes first.
void resolvingServices(QObject* context, const QBluetoothDeviceInfo& device,
                       std::function<void(bool)> done);

// Has the stack drop the device and any bond with it, where it lets a program do so, without
// waiting; the request is given up if `context` goes before it could be made.
void forget(QObject* context, const QBluetoothDeviceInfo& device);

} // namespace quenlark::BluetoothBackend
