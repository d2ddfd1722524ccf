// SPDX-License-Identifier: MIT
#include "Core/BLECentralManager.hpp"

#include "Core/DiagnosticLog.hpp"
#include "Models/BLEConstants.hpp"

namespace quenlark {

namespace {
const QString fallbackDeviceName = QStringLiteral("Quenlark");

QString savedUUIDKey()
{
    return QStringLiteral("savedPeripheralUUID");
}

QString savedIdentifierText(const Peripheral& peripheral)
{
    return peripheral.identifier().toString(QUuid::WithoutBraces).toUpper();
}
} // namespace

BLECentralManager::BLECentralManager(Platform& platform)
    : connectionState(this, ConnectionState::disconnected), connectedDeviceName(this, std::nullopt),
      hasPairedDevice(this, platform.userDefaults().stringForKey(savedUUIDKey()).has_value()),
      defaults_(platform.userDefaults())
{
    // No scan yet: scanning waits for the central's first power-state report.
    centralManager_ = platform.makeCentral(*this);
    // Only a text the link would match: the adapter must not wait for a device it then ignores.
    const auto saved = defaults_.stringForKey(savedUUIDKey());
    const QUuid identifier = saved ? QUuid::fromString(*saved) : QUuid();
    if (saved && identifier.toString(QUuid::WithoutBraces).toUpper() == *saved)
        centralManager_->setRememberedPeripheral(identifier);
}

BLECentralManager::~BLECentralManager()
{
    if (connectedPeripheral_)
        connectedPeripheral_->setDelegate(nullptr);
}

void BLECentralManager::startScanning()
{
    if (centralManager_->state() != CentralState::poweredOn)
        return;
    connectionState = ConnectionState::advertising;
    centralManager_->scanForPeripherals({BLEConstants::serviceUUID()}, false);
}

void BLECentralManager::forgetDevice()
{
    defaults_.removeObjectForKey(savedUUIDKey());
    centralManager_->setRememberedPeripheral(std::nullopt);
    hasPairedDevice = false;
    if (connectedPeripheral_)
        centralManager_->cancelPeripheralConnection(*connectedPeripheral_);
    connectedPeripheral_.reset();
    lastSequence_.reset();
    connectedDeviceName = std::nullopt;
    connectionState = ConnectionState::disconnected;
    startScanning();
}

void BLECentralManager::centralManagerDidUpdateState(Central& central)
{
    if (central.state() == CentralState::poweredOn) {
        startScanning();
        return;
    }
    // The name, the peripheral and the last sequence survive a power change on purpose: only a
    // disconnect or forgetting ends the link.
    connectionState = ConnectionState::disconnected;
}

void BLECentralManager::centralManagerDidDiscoverPeripheral(Central& central,
                                                            std::shared_ptr<Peripheral> peripheral)
{
    const auto remembered = defaults_.stringForKey(savedUUIDKey());
    if (remembered && *remembered != savedIdentifierText(*peripheral))
        return;
    central.stopScan();
    connectedPeripheral_ = std::move(peripheral);
    connectedPeripheral_->setDelegate(this);
    central.connectPeripheral(*connectedPeripheral_);
}

void BLECentralManager::centralManagerDidConnectPeripheral(Central& central, Peripheral& peripheral)
{
    defaults_.setString(savedIdentifierText(peripheral), savedUUIDKey());
    central.setRememberedPeripheral(peripheral.identifier());
    hasPairedDevice = true;
    connectionState = ConnectionState::connected;
    connectedDeviceName = peripheral.name().value_or(fallbackDeviceName);
    peripheral.discoverServices({BLEConstants::serviceUUID()});
}

// A failed attempt ends like a disconnect, so the scan resumes instead of the link waiting for
// ever with no scan running.
void BLECentralManager::centralManagerDidFailToConnectPeripheral(Central&, Peripheral&,
                                                                 const OptionalError&)
{
    dropLink();
}

void BLECentralManager::centralManagerDidDisconnectPeripheral(Central&, Peripheral&,
                                                              const OptionalError&)
{
    dropLink();
}

void BLECentralManager::dropLink()
{
    connectionState = ConnectionState::disconnected;
    connectedDeviceName = std::nullopt;
    connectedPeripheral_.reset();
    lastSequence_.reset();
    startScanning();
}

void BLECentralManager::peripheralDidDiscoverServices(Peripheral& peripheral,
                                                      const OptionalError& error)
{
    if (error) {
        qCInfo(lcDiagnostic).noquote()
            << QStringLiteral("[BLE] Service discovery failed: ") + error->localizedDescription;
        return;
    }
    for (Service* service : peripheral.services().value_or(QList<Service*>{})) {
        if (service->uuid() == BLEConstants::serviceUUID()) {
            peripheral.discoverCharacteristics({BLEConstants::characteristicUUID()}, *service);
            return;
        }
    }
    qCInfo(lcDiagnostic).noquote()
        << QStringLiteral("[BLE] Quenlark service not found on peripheral");
}

void BLECentralManager::peripheralDidDiscoverCharacteristicsForService(Peripheral& peripheral,
                                                                       Service& service,
                                                                       const OptionalError& error)
{
    if (error) {
        qCInfo(lcDiagnostic).noquote()
            << QStringLiteral("[BLE] Characteristic discovery failed: ") +
                   error->localizedDescription;
        return;
    }
    for (Characteristic* characteristic :
         service.characteristics().value_or(QList<Characteristic*>{})) {
        if (characteristic->uuid() == BLEConstants::characteristicUUID()) {
            peripheral.setNotifyValue(true, *characteristic);
            return;
        }
    }
    qCInfo(lcDiagnostic).noquote() << QStringLiteral("[BLE] Quenlark characteristic not found");
}

void BLECentralManager::peripheralDidUpdateValueForCharacteristic(Peripheral&,
                                                                  Characteristic& characteristic,
                                                                  const OptionalError& error)
{
    if (error) {
        qCInfo(lcDiagnostic).noquote()
            << QStringLiteral("[BLE] Value update failed: ") + error->localizedDescription;
        return;
    }
    if (characteristic.uuid() != BLEConstants::characteristicUUID())
        return;
    if (const auto value = characteristic.value())
        takeIn(*value);
}

// Packet: command byte, sequence byte, then anything. A sequence byte equal to the last one is a
// repeat; any other value is new, and it is used up even when the command byte is unknown.
void BLECentralManager::takeIn(const QByteArray& value)
{
    if (value.size() < 2)
        return;
    const auto sequence = static_cast<std::uint8_t>(value.at(1));
    if (lastSequence_ == sequence)
        return;
    lastSequence_ = sequence;
    const auto command = slideCommandFromRawValue(static_cast<std::uint8_t>(value.at(0)));
    if (command && onCommandReceived)
        onCommandReceived(*command);
}

} // namespace quenlark
