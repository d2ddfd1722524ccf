// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Bluetooth.hpp"
#include "Platform/Qt/QtPeripheral.hpp"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QUuid>

#include <chrono>
#include <memory>

class QBluetoothDeviceDiscoveryAgent;
class QBluetoothDeviceInfo;
class QTimer;

namespace quenlark {

class AdapterPowerWatcher;
class ConnectedDevices;

// The Bluetooth LE central on Qt Bluetooth (BlueZ over D-Bus on Linux). Every delegate callback is
// a queued call on the main thread, never made from inside a call into the central or a
// peripheral, and none arrives once the central is gone. The first power-state report follows
// construction.
//
// It holds the link to what real bluetoothd does: a scan that ends by itself is started again; only
// devices heard during the scan are reported, or already connected by the system, not those BlueZ
// merely remembers; a connection dies with the radio or bluetoothd; one that is not subscribed
// within `setupTimeout` is given up.
//
// A device that advertises or offers the HID service is never reported: connecting to it would
// let the stack bond it as a keyboard. One that reveals HID only once connected is reported as a
// failed connection and removed from the stack with its bond, and is not reported again.
class QtBluetoothCentral : public Central {
public:
    static constexpr std::chrono::milliseconds defaultConnectTimeout{15000};
    static constexpr std::chrono::milliseconds defaultSetupTimeout{10000};

    explicit QtBluetoothCentral(CentralDelegate& delegate,
                                std::chrono::milliseconds connectTimeout = defaultConnectTimeout,
                                std::chrono::milliseconds setupTimeout = defaultSetupTimeout);
    ~QtBluetoothCentral() override;

    CentralState state() const override { return state_; }
    void scanForPeripherals(const QList<QUuid>& services, bool allowDuplicates) override;
    void stopScan() override;
    void connectPeripheral(Peripheral& peripheral) override;
    void cancelPeripheralConnection(Peripheral& peripheral) override;

private:
    void powerChanged(CentralState state);
    void deviceDiscovered(const QBluetoothDeviceInfo& device);
    void report(const QBluetoothDeviceInfo& device);
    void scanEnded();
    void startDiscovery();
    std::shared_ptr<QtPeripheral> peripheralFor(const QBluetoothDeviceInfo& device);
    template <typename Deliver> void post(Deliver deliver);

    CentralDelegate& delegate_;
    std::chrono::milliseconds connectTimeout_;
    std::chrono::milliseconds setupTimeout_;
    // Parent of the Qt objects below; its destruction cancels every queued callback.
    std::unique_ptr<QObject> context_;
    AdapterPowerWatcher* power_ = nullptr;
    QBluetoothDeviceDiscoveryAgent* agent_ = nullptr;
    ConnectedDevices* connected_ = nullptr;
    QTimer* restartTimer_ = nullptr;
    CentralState state_ = CentralState::unknown;

    bool scanning_ = false;
    // Counts scans and stops, so that a discovery queued for an earlier scan is dropped.
    quint64 scanGeneration_ = 0;
    QList<QUuid> scanServices_;
    bool allowDuplicates_ = false;
    // Devices are known by BluetoothBackend::identifier: macOS gives no address.
    QSet<QUuid> reportedThisScan_;
    // Peripherals stay the link's; a device found again while one is alive gets the same object.
    QHash<QUuid, std::weak_ptr<QtPeripheral>> peripherals_;
    QHash<QUuid, std::shared_ptr<QtPeripheral::Retries>> retries_;
    // Devices that revealed HID once connected.
    QSet<QUuid> inputDevices_;
};

} // namespace quenlark
