// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Bluetooth.hpp"

#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace quenlark::fakes {

class FakeCharacteristic : public Characteristic {
public:
    explicit FakeCharacteristic(QUuid uuid) : uuid_(uuid) {}
    QUuid uuid() const override { return uuid_; }
    std::optional<QByteArray> value() const override { return value_; }
    void setValue(std::optional<QByteArray> value) { value_ = std::move(value); }

private:
    QUuid uuid_;
    std::optional<QByteArray> value_;
};

class FakeService : public Service {
public:
    explicit FakeService(QUuid uuid) : uuid_(uuid) {}
    QUuid uuid() const override { return uuid_; }
    std::optional<QList<Characteristic*>> characteristics() const override;

    // Absent until the first call; each call adds one characteristic.
    FakeCharacteristic& addCharacteristic(QUuid uuid);

private:
    QUuid uuid_;
    std::optional<std::vector<std::unique_ptr<FakeCharacteristic>>> characteristics_;
};

// A scriptable peripheral: it records what the link asks of it and reports back only when the
// test says so, unless `answersAtOnce` is set, in which case discovery replies come from inside
// the call without errors.
class FakePeripheral : public Peripheral {
public:
    explicit FakePeripheral(QUuid identifier,
                            std::optional<QString> name = QStringLiteral("Clicker"))
        : identifier_(identifier), name_(std::move(name))
    {}

    QUuid identifier() const override { return identifier_; }
    std::optional<QString> name() const override { return name_; }
    void setDelegate(PeripheralDelegate* delegate) override { delegate_ = delegate; }
    void discoverServices(const QList<QUuid>& uuids) override;
    std::optional<QList<Service*>> services() const override;
    void discoverCharacteristics(const QList<QUuid>& uuids, Service& service) override;
    void setNotifyValue(bool enabled, Characteristic& characteristic) override;

    PeripheralDelegate* delegate() const { return delegate_; }
    FakeService& addService(QUuid uuid);
    // The standard clicker layout: the clicker service holding the command characteristic.
    FakeCharacteristic& addClickerLayout();

    void reportServices(const OptionalError& error = std::nullopt);
    void reportCharacteristics(Service& service, const OptionalError& error = std::nullopt);
    // Sets the characteristic's value, then reports it as a notification.
    void notify(FakeCharacteristic& characteristic, std::optional<QByteArray> value,
                const OptionalError& error = std::nullopt);

    bool answersAtOnce = false;
    std::vector<std::pair<bool, Characteristic*>> setNotifyValueCalls;

private:
    QUuid identifier_;
    std::optional<QString> name_;
    PeripheralDelegate* delegate_ = nullptr;
    std::optional<std::vector<std::unique_ptr<FakeService>>> services_;
};

// A scriptable central. Calls from the link are recorded; callbacks are made only by the test.
class FakeCentral : public Central {
public:
    explicit FakeCentral(CentralDelegate& delegate) : delegate_(delegate) {}

    enum class Call { scan, stopScan, connect, cancel };
    struct Record {
        Call call;
        Peripheral* peripheral = nullptr;
        QList<QUuid> services;
        bool allowDuplicates = false;
    };

    CentralState state() const override { return state_; }
    void scanForPeripherals(const QList<QUuid>& services, bool allowDuplicates) override;
    void stopScan() override;
    void connectPeripheral(Peripheral& peripheral) override;
    void cancelPeripheralConnection(Peripheral& peripheral) override;

    CentralDelegate& delegate() const { return delegate_; }
    // Sets the state and reports it.
    void reportState(CentralState state);
    void discover(std::shared_ptr<Peripheral> peripheral);
    void reportConnected(Peripheral& peripheral);
    void reportFailedToConnect(Peripheral& peripheral, const OptionalError& error = std::nullopt);
    void reportDisconnected(Peripheral& peripheral, const OptionalError& error = std::nullopt);

    std::vector<Record> calls;
    int countOf(Call call) const;

private:
    CentralDelegate& delegate_;
    CentralState state_ = CentralState::unknown;
};

} // namespace quenlark::fakes
