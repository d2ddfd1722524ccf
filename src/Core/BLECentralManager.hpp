// SPDX-License-Identifier: MIT
#pragma once

#include "Core/Published.hpp"
#include "Models/ConnectionState.hpp"
#include "Models/SlideCommand.hpp"
#include "Platform/Platform.hpp"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace quenlark {

// The one Bluetooth LE central: finds the clicker, keeps it connected and turns its
// notifications into slide commands. Everything runs synchronously inside platform callbacks on
// the main thread.
class BLECentralManager : public QObject, public CentralDelegate, public PeripheralDelegate {
    Q_OBJECT

public:
    explicit BLECentralManager(Platform& platform);
    ~BLECentralManager() override;

    Published<ConnectionState> connectionState;
    Published<std::optional<QString>> connectedDeviceName;
    Published<bool> hasPairedDevice;
    std::function<void(SlideCommand)> onCommandReceived;

    void forgetDevice();

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

Q_SIGNALS:
    void objectWillChange();

private:
    void startScanning();
    void dropLink();
    void takeIn(const QByteArray& value);

    UserDefaults& defaults_;
    std::unique_ptr<Central> centralManager_;
    std::shared_ptr<Peripheral> connectedPeripheral_;
    std::optional<std::uint8_t> lastSequence_;
};

} // namespace quenlark
