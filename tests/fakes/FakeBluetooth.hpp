// SPDX-License-Identifier: MIT
#pragma once

#include "Models/BLEConstants.hpp"
#include "Platform/Bluetooth.hpp"

#include <vector>

namespace quenlark::fakes {

struct FakeCharacteristic : Characteristic {
    explicit FakeCharacteristic(QUuid id) : id(id) {}
    QUuid uuid() const override { return id; }
    std::optional<QByteArray> value() const override { return current; }

    QUuid id;
    std::optional<QByteArray> current;
};

// The clicker service, holding the command characteristic.
struct FakeService : Service {
    QUuid uuid() const override { return BLEConstants::serviceUUID(); }
    std::optional<QList<Characteristic*>> characteristics() const override
    {
        return QList<Characteristic*>{&command};
    }

    mutable FakeCharacteristic command{BLEConstants::characteristicUUID()};
};

// Records the subscriptions asked of it; with `answersAtOnce` discovery answers inside the call.
class FakePeripheral : public Peripheral {
public:
    explicit FakePeripheral(QUuid identifier,
                            std::optional<QString> name = QStringLiteral("Clicker"))
        : identifier_(identifier), name_(std::move(name))
    {}

    QUuid identifier() const override { return identifier_; }
    std::optional<QString> name() const override { return name_; }
    void setDelegate(PeripheralDelegate* delegate) override { delegate_ = delegate; }
    void discoverServices(const QList<QUuid>&) override
    {
        if (answersAtOnce && delegate_)
            delegate_->peripheralDidDiscoverServices(*this, std::nullopt);
    }
    std::optional<QList<Service*>> services() const override
    {
        return clickerService_ ? QList<Service*>{&*clickerService_} : QList<Service*>{};
    }
    void discoverCharacteristics(const QList<QUuid>&, Service& service) override
    {
        if (answersAtOnce && delegate_)
            delegate_->peripheralDidDiscoverCharacteristicsForService(*this, service, std::nullopt);
    }
    void setNotifyValue(bool enabled, Characteristic& characteristic) override
    {
        setNotifyValueCalls.emplace_back(enabled, &characteristic);
    }

    PeripheralDelegate* delegate() const { return delegate_; }
    // Returns the command characteristic of the clicker service it now offers.
    FakeCharacteristic& addClickerLayout() { return clickerService_.emplace().command; }
    void notify(FakeCharacteristic& characteristic, std::optional<QByteArray> value)
    {
        characteristic.current = std::move(value);
        if (delegate_)
            delegate_->peripheralDidUpdateValueForCharacteristic(*this, characteristic, {});
    }

    bool answersAtOnce = false;
    std::vector<std::pair<bool, Characteristic*>> setNotifyValueCalls;

private:
    QUuid identifier_;
    std::optional<QString> name_;
    PeripheralDelegate* delegate_ = nullptr;
    mutable std::optional<FakeService> clickerService_;
};

// A scriptable central: calls from the link are recorded; callbacks come only from the test.
class FakeCentral : public Central {
public:
    explicit FakeCentral(CentralDelegate& delegate) : delegate_(delegate) {}

    enum class Call { scan, stopScan, connect, cancel };
    struct Record {
        Call call;
        Peripheral* peripheral = nullptr;
        QList<QUuid> services = {};
        bool allowDuplicates = false;
    };

    CentralState state() const override { return state_; }
    void scanForPeripherals(const QList<QUuid>& services, bool allowDuplicates) override
    {
        calls.push_back({Call::scan, nullptr, services, allowDuplicates});
    }
    void stopScan() override { calls.push_back({Call::stopScan}); }
    void connectPeripheral(Peripheral& p) override { calls.push_back({Call::connect, &p}); }
    void cancelPeripheralConnection(Peripheral& p) override { calls.push_back({Call::cancel, &p}); }
    void setRememberedPeripheral(const std::optional<QUuid>& identifier) override
    {
        remembered = identifier;
    }

    void reportState(CentralState state)
    {
        state_ = state;
        delegate_.centralManagerDidUpdateState(*this);
    }
    void discover(std::shared_ptr<Peripheral> peripheral)
    {
        delegate_.centralManagerDidDiscoverPeripheral(*this, std::move(peripheral));
    }
    void reportConnected(Peripheral& p) { delegate_.centralManagerDidConnectPeripheral(*this, p); }

    std::vector<Record> calls;
    std::optional<QUuid> remembered;

private:
    CentralDelegate& delegate_;
    CentralState state_ = CentralState::unknown;
};

} // namespace quenlark::fakes
