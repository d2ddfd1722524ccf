// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Bluetooth.hpp"
#include "Platform/Qt/QtCharacteristic.hpp"

#include <QLowEnergyService>

#include <memory>
#include <vector>

namespace quenlark {

// A discovered service of a connected peripheral, owned by that peripheral. Its characteristics
// are absent until their first discovery and only grow afterwards, so pointers to them stay valid
// for the whole connection.
class QtService : public Service {
public:
    QtService(const QUuid& uuid, std::unique_ptr<QLowEnergyService> service);
    ~QtService() override;

    QUuid uuid() const override { return uuid_; }
    std::optional<QList<Characteristic*>> characteristics() const override;

    QLowEnergyService& lowEnergyService() const { return *service_; }
    // Wraps the discovered characteristics named in `uuids` (all of them when it is empty).
    void adoptCharacteristics(const QList<QUuid>& uuids);
    QtCharacteristic* find(const QLowEnergyCharacteristic& characteristic) const;
    QtCharacteristic* find(const Characteristic& characteristic) const;

    // A characteristic discovery was asked for and not answered yet, and what it asked for.
    bool detailsPending = false;
    QList<QUuid> characteristicFilter;

private:
    QUuid uuid_;
    std::unique_ptr<QLowEnergyService> service_;
    std::optional<std::vector<std::unique_ptr<QtCharacteristic>>> characteristics_;
};

} // namespace quenlark
