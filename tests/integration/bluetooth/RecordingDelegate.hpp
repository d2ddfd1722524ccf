// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Bluetooth.hpp"

#include <QByteArray>
#include <QUuid>

#include <functional>
#include <memory>
#include <vector>

namespace quenlark::integration {

struct BluetoothEvent {
    enum class Kind {
        state,
        discovered,
        connected,
        failedToConnect,
        disconnected,
        services,
        characteristics,
        subscribed,
        value
    };
    Kind kind;
    QUuid peripheral;
    CentralState state = CentralState::unknown;
    OptionalError error;
    // The service whose characteristics were found, or the characteristic whose value came.
    QUuid attribute;
    QByteArray value;
};

// Records every callback of the adapter in order. Every call the test makes into the adapter goes
// through `call`, so that a callback arriving from inside one is caught. With `subscribeClickers`
// it walks the same road as the link: a clicker found is connected, its service and command
// characteristic are discovered, and its notifications are switched on (recorded as `subscribed`).
class RecordingDelegate : public CentralDelegate, public PeripheralDelegate {
public:
    using Kind = BluetoothEvent::Kind;

    template <typename Call> void call(Call&& into)
    {
        ++depth_;
        std::forward<Call>(into)();
        --depth_;
    }

    void centralManagerDidUpdateState(Central& central) override;
    void centralManagerDidDiscoverPeripheral(Central& central,
                                             std::shared_ptr<Peripheral> peripheral) override;
    void centralManagerDidConnectPeripheral(Central& central, Peripheral& peripheral) override;
    void centralManagerDidFailToConnectPeripheral(Central& central, Peripheral& peripheral,
                                                  const OptionalError& error) override;
    void centralManagerDidDisconnectPeripheral(Central& central, Peripheral& peripheral,
                                               const OptionalError& error) override;
    void peripheralDidDiscoverServices(Peripheral& peripheral, const OptionalError& error) override;
    void peripheralDidDiscoverCharacteristicsForService(Peripheral& peripheral, Service& service,
                                                        const OptionalError& error) override;
    void peripheralDidUpdateValueForCharacteristic(Peripheral& peripheral,
                                                   Characteristic& characteristic,
                                                   const OptionalError& error) override;

    std::vector<BluetoothEvent> ofKind(Kind kind) const;
    int count(Kind kind) const { return static_cast<int>(ofKind(kind).size()); }

    bool subscribeClickers = false;
    std::vector<BluetoothEvent> events;
    std::vector<std::shared_ptr<Peripheral>> discovered;
    std::function<void(Central&, const std::shared_ptr<Peripheral>&)> onDiscovered;
    // Told of each event as it is recorded, and whether it arrived from inside a call.
    std::function<void(const BluetoothEvent&, bool reentrant)> onEvent;
    int reentrantCallbacks = 0;

private:
    void record(BluetoothEvent event);
    void record(Kind kind, const Peripheral& peripheral, const OptionalError& error = std::nullopt,
                QUuid attribute = {}, const QByteArray& value = {})
    {
        record({kind, peripheral.identifier(), CentralState::unknown, error, attribute, value});
    }

    int depth_ = 0;
};

} // namespace quenlark::integration
