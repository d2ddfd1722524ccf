// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Bluetooth.hpp"

#include <QLowEnergyCharacteristic>

namespace quenlark {

// A discovered characteristic. Its value is the one being reported: the peripheral sets it just
// before each value callback, so every notification is seen with its own bytes.
class QtCharacteristic : public Characteristic {
public:
    explicit QtCharacteristic(const QLowEnergyCharacteristic& characteristic);

    QUuid uuid() const override { return uuid_; }
    std::optional<QByteArray> value() const override { return value_; }

    const QLowEnergyCharacteristic& lowEnergyCharacteristic() const { return characteristic_; }
    void setValue(const QByteArray& value) { value_ = value; }

private:
    QLowEnergyCharacteristic characteristic_;
    // Qt reads the UUID through its service's tables; a copy stays right whatever becomes of them.
    QUuid uuid_;
    std::optional<QByteArray> value_;
};

} // namespace quenlark
