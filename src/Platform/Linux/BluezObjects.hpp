// SPDX-License-Identifier: MIT
#pragma once

#include <QList>
#include <QString>
#include <QVariantMap>

#include <functional>

class QObject;

namespace quenlark::BluezObjects {

struct Device {
    QString path;
    // Its org.bluez.Device1 properties.
    QVariantMap properties;
};

// Asks bluetoothd for the devices it lists, without waiting. `done` gets them on the main thread
// once it answers (none when it does not), unless `context` is gone by then.
void listDevices(QObject* context, std::function<void(const QList<Device>& devices)> done);

} // namespace quenlark::BluezObjects
