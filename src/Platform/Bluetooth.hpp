// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUuid>

#include <memory>
#include <optional>

namespace quenlark {

// Values follow the platform central's own numbering; poweredOn is the only state that may scan.
enum class CentralState {
    unknown = 0,
    resetting,
    unsupported,
    unauthorized,
    poweredOff,
    poweredOn
};

struct PlatformError {
    QString localizedDescription;
};
using OptionalError = std::optional<PlatformError>;

class Characteristic {
public:
    virtual ~Characteristic() = default;
    virtual QUuid uuid() const = 0;
    virtual std::optional<QByteArray> value() const = 0;
};

class Service {
public:
    virtual ~Service() = default;
    virtual QUuid uuid() const = 0;
    // The characteristics are owned by the peripheral.
    virtual std::optional<QList<Characteristic*>> characteristics() const = 0;
};

class Peripheral;

class PeripheralDelegate {
public:
    virtual ~PeripheralDelegate() = default;
    virtual void peripheralDidDiscoverServices(Peripheral&, const OptionalError&) = 0;
    virtual void peripheralDidDiscoverCharacteristicsForService(Peripheral&, Service&,
                                                                const OptionalError&) = 0;
    virtual void peripheralDidUpdateValueForCharacteristic(Peripheral&, Characteristic&,
                                                           const OptionalError&) = 0;
    // The peripheral confirmed a subscription to notifications, or refused it (with an error).
    virtual void peripheralDidUpdateNotificationStateForCharacteristic(Peripheral&, Characteristic&,
                                                                       const OptionalError&)
    {}
};

class Peripheral {
public:
    virtual ~Peripheral() = default;
    virtual QUuid identifier() const = 0;
    virtual std::optional<QString> name() const = 0;
    virtual void setDelegate(PeripheralDelegate*) = 0;
    virtual void discoverServices(const QList<QUuid>&) = 0;
    // The services are owned by the peripheral.
    virtual std::optional<QList<Service*>> services() const = 0;
    virtual void discoverCharacteristics(const QList<QUuid>&, Service&) = 0;
    virtual void setNotifyValue(bool enabled, Characteristic&) = 0;
};

class Central;

// Callbacks arrive on the main thread, never from inside a call into the Central.
class CentralDelegate {
public:
    virtual ~CentralDelegate() = default;
    virtual void centralManagerDidUpdateState(Central&) = 0;
    virtual void centralManagerDidDiscoverPeripheral(Central&, std::shared_ptr<Peripheral>) = 0;
    virtual void centralManagerDidConnectPeripheral(Central&, Peripheral&) = 0;
    virtual void centralManagerDidFailToConnectPeripheral(Central&, Peripheral&,
                                                          const OptionalError&) = 0;
    virtual void centralManagerDidDisconnectPeripheral(Central&, Peripheral&,
                                                       const OptionalError&) = 0;
};

class Central {
public:
    virtual ~Central() = default;
    virtual CentralState state() const = 0;
    virtual void scanForPeripherals(const QList<QUuid>& services, bool allowDuplicates) = 0;
    virtual void stopScan() = 0;
    virtual void connectPeripheral(Peripheral&) = 0;
    virtual void cancelPeripheralConnection(Peripheral&) = 0;
    // The peripheral the link remembers, if any, so that a scan may wait for that one alone, as
    // the stack allows, instead of listening to every device around.
    virtual void setRememberedPeripheral(const std::optional<QUuid>&) {}
};

} // namespace quenlark
