// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Bluetooth.hpp"
#include "Platform/DeviceTable.hpp"
#include "Platform/LinkRetries.hpp"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QUuid>

#include <chrono>
#include <memory>

class QTimer;

namespace quenlark {

class BluezObjectTree;
class BluezPeripheral;

// The Bluetooth LE central directly on BlueZ's D-Bus API. Every delegate callback is a queued call
// on the main thread, never made from inside a call into the central or a peripheral, and none
// arrives once the central is gone. The first power-state report follows construction.
//
// A scan reports the devices that advertise the services asked for and are heard during it, or
// that are connected with their services resolved, whoever connected them. How it finds them
// depends on what the link remembers: with nothing remembered, or a remembered device that
// bluetoothd does not list, it runs bluetoothd's discovery; while bluetoothd lists the remembered
// device it keeps a Connect to it pending instead, so that the kernel connects it from a passive
// scan the moment it advertises, and the radio is otherwise left alone.
//
// A device that advertises or offers the HID service is never reported: connecting to it would
// let the stack bond it as a keyboard. One that reveals HID only once connected is reported as a
// failed connection and removed from the stack with its bond; its address is neither reported nor
// waited for until `inputDeviceIgnored` has passed.
class BluezCentral : public Central {
public:
    static constexpr std::chrono::seconds defaultInputDeviceIgnored{60};
    // Bounds on the per-device tables: in a crowded hall phones change their private addresses
    // every few minutes.
    static constexpr qsizetype tableBound = 256;

    static constexpr std::chrono::milliseconds defaultConnectTimeout{15000};
    static constexpr std::chrono::milliseconds defaultSetupTimeout{10000};

    explicit BluezCentral(CentralDelegate& delegate,
                          std::chrono::milliseconds connectTimeout = defaultConnectTimeout,
                          std::chrono::milliseconds setupTimeout = defaultSetupTimeout,
                          std::chrono::milliseconds inputDeviceIgnored = defaultInputDeviceIgnored);
    ~BluezCentral() override;

    CentralState state() const override { return state_; }
    void scanForPeripherals(const QList<QUuid>& services, bool allowDuplicates) override;
    void stopScan() override;
    void connectPeripheral(Peripheral& peripheral) override;
    void cancelPeripheralConnection(Peripheral& peripheral) override;
    void setRememberedPeripheral(const std::optional<QUuid>& identifier) override;

private:
    QString adapterPath() const;
    QString devicePath(const QUuid& identifier) const;
    void updateState();
    void updateScan();
    void startDiscovery();
    void stopDiscovery();
    void waitFor(const QString& path);
    void stopWaiting();
    void consider(const QString& path);
    void considerAll();
    void updateFollowing();
    bool poweredOn() const { return power_ == CentralState::poweredOn; }
    void refusedAsInput(const QString& path);
    std::shared_ptr<BluezPeripheral> peripheralFor(const QString& path);
    template <typename Deliver> void post(Deliver deliver);

    CentralDelegate& delegate_;
    std::chrono::milliseconds connectTimeout_;
    std::chrono::milliseconds setupTimeout_;
    std::chrono::milliseconds inputDeviceIgnored_;
    // Parent of the Qt objects below; its destruction cancels every queued callback.
    std::unique_ptr<QObject> context_;
    std::shared_ptr<BluezObjectTree> tree_;
    QTimer* retryTimer_ = nullptr;
    // What bluetoothd says now, and what the delegate was last told.
    std::optional<CentralState> power_;
    CentralState state_ = CentralState::unknown;

    bool scanning_ = false;
    // Counts scans and stops, so that a discovery queued for an earlier scan is dropped.
    quint64 scanGeneration_ = 0;
    QList<QUuid> scanServices_;
    bool allowDuplicates_ = false;
    QSet<QString> reportedThisScan_;
    std::optional<QUuid> remembered_;
    // Whether this central asked bluetoothd for discovery, and for which adapter.
    QString discoveringOn_;
    // The device a pending Connect waits for, and whether that call is still out.
    QString waitingFor_;
    bool waitPending_ = false;
    // Peripherals stay the link's; a device found again while one is alive gets the same object.
    QHash<QString, std::weak_ptr<BluezPeripheral>> peripherals_;
    // Kept until bluetoothd forgets the device; a full table drops first the devices that have not
    // failed.
    DeviceTable<QString, std::shared_ptr<LinkRetries>> retries_;
    // Devices whose link this central let go of while bluetoothd still had it up: not taken
    // again until it is down.
    QSet<QString> letGo_;
    // Devices that revealed HID once connected, and when: each is ignored for a while, so that a
    // spoofer of the remembered clicker's address does not lock the real one out for good.
    DeviceTable<QString, std::chrono::steady_clock::time_point> inputDevices_;
};

} // namespace quenlark
