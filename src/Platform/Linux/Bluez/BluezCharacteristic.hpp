// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Bluetooth.hpp"

namespace quenlark {

// A characteristic among bluetoothd's objects. Its value is the one being reported: the peripheral
// sets it just before each value callback, so every notification is seen with its own bytes.
class BluezCharacteristic : public Characteristic {
public:
    BluezCharacteristic(QString path, const QUuid& uuid) : path_(std::move(path)), uuid_(uuid) {}

    QUuid uuid() const override { return uuid_; }
    std::optional<QByteArray> value() const override { return value_; }

    const QString& path() const { return path_; }
    void setValue(const QByteArray& value) { value_ = value; }

private:
    QString path_;
    QUuid uuid_;
    std::optional<QByteArray> value_;
};

} // namespace quenlark
