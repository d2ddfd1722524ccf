// SPDX-License-Identifier: MIT
#pragma once

#include "Models/BLEConstants.hpp"
#include "Platform/Bluetooth.hpp"

#include <QRegularExpression>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

namespace quenlark::integration {

// Records every callback as one line, "kind id[ detail][: error]"; one arriving from inside a call
// into the adapter (all go through `call`) is marked "re-entrant". With `followClickers` it walks
// the link's road: it scans whenever the radio is on after a state change, failure or disconnect,
// connects the first clicker found and subscribes to its command characteristic.
class RecordingDelegate : public CentralDelegate, public PeripheralDelegate {
public:
    template <typename Call> void call(Call&& into)
    {
        ++depth_;
        std::forward<Call>(into)();
        --depth_;
    }
    int count(const char* kind) const
    {
        return static_cast<int>(
            lines.filter(QRegularExpression(u'^' + QLatin1String(kind) + u' ')).size());
    }
    std::string log() const { return lines.join(u'\n').toStdString(); }

    void centralManagerDidUpdateState(Central& central) override
    {
        static const char* const states[] = {"unknown",      "resetting",  "unsupported",
                                             "unauthorized", "poweredOff", "poweredOn"};
        record(QStringLiteral("state ") +
               QString::fromLatin1(states[static_cast<int>(central.state())]));
        scanAgain(central);
    }
    void centralManagerDidDiscoverPeripheral(Central& central,
                                             std::shared_ptr<Peripheral> peripheral) override
    {
        discovered.push_back(peripheral);
        record("discovered", *peripheral, {},
               QStringLiteral(" \"%1\"").arg(peripheral->name().value_or(QString())));
        if (followClickers)
            call([&] {
                central.stopScan();
                peripheral->setDelegate(this);
                central.connectPeripheral(*peripheral);
            });
    }
    void centralManagerDidConnectPeripheral(Central&, Peripheral& peripheral) override
    {
        record("connected", peripheral);
        if (followClickers)
            call([&] { peripheral.discoverServices({BLEConstants::serviceUUID()}); });
    }
    void centralManagerDidFailToConnectPeripheral(Central& central, Peripheral& peripheral,
                                                  const OptionalError& error) override
    {
        record("failed", peripheral, error);
        scanAgain(central);
    }
    void centralManagerDidDisconnectPeripheral(Central& central, Peripheral& peripheral,
                                               const OptionalError& error) override
    {
        record("disconnected", peripheral, error);
        scanAgain(central);
    }
    // Asked for one service and one characteristic, it finds only those.
    void peripheralDidDiscoverServices(Peripheral& peripheral, const OptionalError& error) override
    {
        record("services", peripheral, error);
        const auto services = peripheral.services().value_or(QList<Service*>{});
        if (followClickers && !error && !services.isEmpty())
            call([&] {
                peripheral.discoverCharacteristics({BLEConstants::characteristicUUID()},
                                                   *services.first());
            });
    }
    void peripheralDidDiscoverCharacteristicsForService(Peripheral& peripheral, Service& service,
                                                        const OptionalError& error) override
    {
        record("characteristics", peripheral, error);
        const auto characteristics = service.characteristics().value_or(QList<Characteristic*>{});
        if (followClickers && !error && !characteristics.isEmpty())
            call([&] { peripheral.setNotifyValue(true, *characteristics.first()); });
    }
    void peripheralDidUpdateNotificationStateForCharacteristic(Peripheral& peripheral,
                                                               Characteristic&,
                                                               const OptionalError& error) override
    {
        record(error ? "unsubscribed" : "subscribed", peripheral, error);
    }
    void peripheralDidUpdateValueForCharacteristic(Peripheral& peripheral,
                                                   Characteristic& characteristic,
                                                   const OptionalError& error) override
    {
        const QByteArray value = characteristic.value().value_or(QByteArray());
        record("value", peripheral, error, u' ' + QString::fromLatin1(value.toHex()));
    }

    bool followClickers = false;
    QStringList lines;
    std::vector<std::shared_ptr<Peripheral>> discovered;
    std::function<void(const QString&)> onLine;
    int reentrantCallbacks = 0;

private:
    void record(const char* kind, const Peripheral& peripheral, const OptionalError& error = {},
                const QString& detail = {})
    {
        QString line = QString::fromLatin1(kind) + u' ' +
                       peripheral.identifier().toString(QUuid::WithoutBraces).toUpper() + detail;
        record(error ? line + QStringLiteral(": ") + error->localizedDescription : line);
    }
    void record(QString line)
    {
        if (depth_ > 0) {
            ++reentrantCallbacks;
            line.prepend(QStringLiteral("re-entrant "));
        }
        lines.append(line);
        if (onLine)
            onLine(line);
    }
    void scanAgain(Central& central)
    {
        if (followClickers && central.state() == CentralState::poweredOn)
            call([&] { central.scanForPeripherals({BLEConstants::serviceUUID()}, false); });
    }

    int depth_ = 0;
};

} // namespace quenlark::integration
