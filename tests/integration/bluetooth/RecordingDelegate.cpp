// SPDX-License-Identifier: MIT
#include "RecordingDelegate.hpp"

#include "Models/BLEConstants.hpp"

#include <algorithm>

namespace quenlark::integration {

void RecordingDelegate::record(BluetoothEvent event)
{
    if (depth_ > 0)
        ++reentrantCallbacks;
    events.push_back(std::move(event));
    if (onEvent)
        onEvent(events.back(), depth_ > 0);
}

std::vector<BluetoothEvent> RecordingDelegate::ofKind(Kind kind) const
{
    std::vector<BluetoothEvent> found;
    std::copy_if(events.begin(), events.end(), std::back_inserter(found),
                 [kind](const BluetoothEvent& event) { return event.kind == kind; });
    return found;
}

void RecordingDelegate::centralManagerDidUpdateState(Central& central)
{
    record({Kind::state, {}, central.state(), std::nullopt, {}, {}});
}

void RecordingDelegate::centralManagerDidDiscoverPeripheral(Central& central,
                                                            std::shared_ptr<Peripheral> peripheral)
{
    discovered.push_back(peripheral);
    record({Kind::discovered, peripheral->identifier(), central.state(), std::nullopt, {}, {}});
    if (onDiscovered)
        onDiscovered(central, peripheral);
    if (subscribeClickers) {
        call([&] {
            central.stopScan();
            peripheral->setDelegate(this);
            central.connectPeripheral(*peripheral);
        });
    }
}

void RecordingDelegate::centralManagerDidConnectPeripheral(Central& central, Peripheral& peripheral)
{
    record({Kind::connected, peripheral.identifier(), central.state(), std::nullopt, {}, {}});
    if (subscribeClickers)
        call([&] { peripheral.discoverServices({BLEConstants::serviceUUID()}); });
}

void RecordingDelegate::centralManagerDidFailToConnectPeripheral(Central& central,
                                                                 Peripheral& peripheral,
                                                                 const OptionalError& error)
{
    record({Kind::failedToConnect, peripheral.identifier(), central.state(), error, {}, {}});
}

void RecordingDelegate::centralManagerDidDisconnectPeripheral(Central& central,
                                                              Peripheral& peripheral,
                                                              const OptionalError& error)
{
    record({Kind::disconnected, peripheral.identifier(), central.state(), error, {}, {}});
}

void RecordingDelegate::peripheralDidDiscoverServices(Peripheral& peripheral,
                                                      const OptionalError& error)
{
    record({Kind::services, peripheral.identifier(), CentralState::unknown, error, {}, {}});
    if (!subscribeClickers || error)
        return;
    for (Service* service : peripheral.services().value_or(QList<Service*>{})) {
        if (service->uuid() == BLEConstants::serviceUUID())
            call([&] {
                peripheral.discoverCharacteristics({BLEConstants::characteristicUUID()}, *service);
            });
    }
}

void RecordingDelegate::peripheralDidDiscoverCharacteristicsForService(Peripheral& peripheral,
                                                                       Service& service,
                                                                       const OptionalError& error)
{
    record({Kind::characteristics,
            peripheral.identifier(),
            CentralState::unknown,
            error,
            service.uuid(),
            {}});
    if (!subscribeClickers || error)
        return;
    for (Characteristic* characteristic :
         service.characteristics().value_or(QList<Characteristic*>{})) {
        if (characteristic->uuid() != BLEConstants::characteristicUUID())
            continue;
        call([&] { peripheral.setNotifyValue(true, *characteristic); });
        record({Kind::subscribed,
                peripheral.identifier(),
                CentralState::unknown,
                std::nullopt,
                characteristic->uuid(),
                {}});
    }
}

void RecordingDelegate::peripheralDidUpdateValueForCharacteristic(Peripheral& peripheral,
                                                                  Characteristic& characteristic,
                                                                  const OptionalError& error)
{
    record({Kind::value, peripheral.identifier(), CentralState::unknown, error,
            characteristic.uuid(), characteristic.value().value_or(QByteArray())});
}

} // namespace quenlark::integration
