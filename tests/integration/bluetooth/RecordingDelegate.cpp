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
    record(Kind::discovered, *peripheral);
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

void RecordingDelegate::centralManagerDidConnectPeripheral(Central&, Peripheral& peripheral)
{
    record(Kind::connected, peripheral);
    if (subscribeClickers)
        call([&] { peripheral.discoverServices({BLEConstants::serviceUUID()}); });
}

void RecordingDelegate::centralManagerDidFailToConnectPeripheral(Central&, Peripheral& peripheral,
                                                                 const OptionalError& error)
{
    record(Kind::failedToConnect, peripheral, error);
}

void RecordingDelegate::centralManagerDidDisconnectPeripheral(Central&, Peripheral& peripheral,
                                                              const OptionalError& error)
{
    record(Kind::disconnected, peripheral, error);
}

void RecordingDelegate::peripheralDidDiscoverServices(Peripheral& peripheral,
                                                      const OptionalError& error)
{
    record(Kind::services, peripheral, error);
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
    record(Kind::characteristics, peripheral, error, service.uuid());
    if (!subscribeClickers || error)
        return;
    for (Characteristic* characteristic :
         service.characteristics().value_or(QList<Characteristic*>{})) {
        if (characteristic->uuid() != BLEConstants::characteristicUUID())
            continue;
        call([&] { peripheral.setNotifyValue(true, *characteristic); });
        record(Kind::subscribed, peripheral, {}, characteristic->uuid());
    }
}

void RecordingDelegate::peripheralDidUpdateValueForCharacteristic(Peripheral& peripheral,
                                                                  Characteristic& characteristic,
                                                                  const OptionalError& error)
{
    const QByteArray value = characteristic.value().value_or(QByteArray());
    record(Kind::value, peripheral, error, characteristic.uuid(), value);
}

} // namespace quenlark::integration
