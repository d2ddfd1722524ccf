// SPDX-License-Identifier: MIT
#include "FakeBluetooth.hpp"

#include "Models/BLEConstants.hpp"
#include "Platform/BorrowedList.hpp"

#include <algorithm>

namespace quenlark::fakes {

std::optional<QList<Characteristic*>> FakeService::characteristics() const
{
    return borrowedList<Characteristic>(characteristics_);
}

FakeCharacteristic& FakeService::addCharacteristic(QUuid uuid)
{
    if (!characteristics_)
        characteristics_.emplace();
    characteristics_->push_back(std::make_unique<FakeCharacteristic>(uuid));
    return *characteristics_->back();
}

void FakePeripheral::discoverServices(const QList<QUuid>&)
{
    if (answersAtOnce)
        reportServices();
}

std::optional<QList<Service*>> FakePeripheral::services() const
{
    return borrowedList<Service>(services_);
}

void FakePeripheral::discoverCharacteristics(const QList<QUuid>&, Service& service)
{
    if (answersAtOnce)
        reportCharacteristics(service);
}

void FakePeripheral::setNotifyValue(bool enabled, Characteristic& characteristic)
{
    setNotifyValueCalls.emplace_back(enabled, &characteristic);
}

FakeService& FakePeripheral::addService(QUuid uuid)
{
    if (!services_)
        services_.emplace();
    services_->push_back(std::make_unique<FakeService>(uuid));
    return *services_->back();
}

FakeCharacteristic& FakePeripheral::addClickerLayout()
{
    return addService(BLEConstants::serviceUUID())
        .addCharacteristic(BLEConstants::characteristicUUID());
}

void FakePeripheral::reportServices(const OptionalError& error)
{
    if (delegate_)
        delegate_->peripheralDidDiscoverServices(*this, error);
}

void FakePeripheral::reportCharacteristics(Service& service, const OptionalError& error)
{
    if (delegate_)
        delegate_->peripheralDidDiscoverCharacteristicsForService(*this, service, error);
}

void FakePeripheral::notify(FakeCharacteristic& characteristic, std::optional<QByteArray> value,
                            const OptionalError& error)
{
    characteristic.setValue(std::move(value));
    if (delegate_)
        delegate_->peripheralDidUpdateValueForCharacteristic(*this, characteristic, error);
}

void FakeCentral::scanForPeripherals(const QList<QUuid>& services, bool allowDuplicates)
{
    calls.push_back({Call::scan, nullptr, services, allowDuplicates});
}

void FakeCentral::stopScan()
{
    calls.push_back({Call::stopScan, nullptr, {}, false});
}

void FakeCentral::connectPeripheral(Peripheral& peripheral)
{
    calls.push_back({Call::connect, &peripheral, {}, false});
}

void FakeCentral::cancelPeripheralConnection(Peripheral& peripheral)
{
    calls.push_back({Call::cancel, &peripheral, {}, false});
}

void FakeCentral::reportState(CentralState state)
{
    state_ = state;
    delegate_.centralManagerDidUpdateState(*this);
}

void FakeCentral::discover(std::shared_ptr<Peripheral> peripheral)
{
    delegate_.centralManagerDidDiscoverPeripheral(*this, std::move(peripheral));
}

void FakeCentral::reportConnected(Peripheral& peripheral)
{
    delegate_.centralManagerDidConnectPeripheral(*this, peripheral);
}

void FakeCentral::reportFailedToConnect(Peripheral& peripheral, const OptionalError& error)
{
    delegate_.centralManagerDidFailToConnectPeripheral(*this, peripheral, error);
}

void FakeCentral::reportDisconnected(Peripheral& peripheral, const OptionalError& error)
{
    delegate_.centralManagerDidDisconnectPeripheral(*this, peripheral, error);
}

int FakeCentral::countOf(Call call) const
{
    return static_cast<int>(std::count_if(calls.begin(), calls.end(),
                                          [call](const Record& r) { return r.call == call; }));
}

} // namespace quenlark::fakes
