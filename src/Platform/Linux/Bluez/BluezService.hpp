// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Bluetooth.hpp"
#include "Platform/BorrowedList.hpp"
#include "Platform/Linux/Bluez/BluezCharacteristic.hpp"

#include <memory>
#include <vector>

namespace quenlark {

// A primary service among bluetoothd's objects, with the characteristics asked for once found.
class BluezService : public Service {
public:
    BluezService(QString path, const QUuid& uuid) : path_(std::move(path)), uuid_(uuid) {}

    QUuid uuid() const override { return uuid_; }
    std::optional<QList<Characteristic*>> characteristics() const override
    {
        return borrowedList<Characteristic>(characteristics_);
    }

    const QString& path() const { return path_; }
    std::optional<std::vector<std::unique_ptr<BluezCharacteristic>>>& found()
    {
        return characteristics_;
    }

private:
    QString path_;
    QUuid uuid_;
    std::optional<std::vector<std::unique_ptr<BluezCharacteristic>>> characteristics_;
};

} // namespace quenlark
