// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QVariantMap>

#include <functional>

class QObject;

namespace quenlark::BluezObjects {

// Asks bluetoothd for the devices it lists, without waiting. Once it answers, `each` is called on
// the main thread with the object path and the org.bluez.Device1 properties of every device,
// unless `context` is gone by then.
void forEachDevice(QObject* context,
                   std::function<void(const QString& path, const QVariantMap& device)> each);

} // namespace quenlark::BluezObjects
