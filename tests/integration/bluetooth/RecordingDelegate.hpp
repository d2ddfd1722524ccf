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

// Records every callback of the adapter as one line, "kind id[ detail][: error]", the lines the
// harness prints; one arriving from inside a call into the adapter (all go through `call`) is
// marked "re-entrant". With `followClickers` it walks the link's road: it scans whenever the radio
// is on after a state change, failure or disconnect, connects the first clicker found, and
// subscribes to its command characteristic. A confirmed subscription is "subscribed id".
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
        record(line("discovered", *peripheral) +
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
        record(line("connected", peripheral));
        if (followClickers)
            call([&] { peripheral.discoverServices({BLEConstants::serviceUUID()}); });
    }
    void centralManagerDidFailToConnectPeripheral(Central& central, Peripheral& peripheral,
                                                  const OptionalError& error) override
    {
        record(line("failed", peripheral), error);
        scanAgain(central);
    }
    void centralManagerDidDisconnectPeripheral(Central& central, Peripheral& peripheral,
                                               const OptionalError& error) override
    {
        record(line("disconnected", peripheral), error);
        scanAgain(central);
    }
    // Asked for one service and one characteristic, it finds only those.
    void peripheralDidDiscoverServices(Peripheral& peripheral, const OptionalError& error) override
    {
        record(line("services", peripheral), error);
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
        record(line("characteristics", peripheral), error);
        const auto characteristics = service.characteristics().value_or(QList<Characteristic*>{});
        if (!followClickers || error || characteristics.isEmpty())
            return;
        call([&] { peripheral.setNotifyValue(true, *characteristics.first()); });
    }
    void peripheralDidUpdateNotificationStateForCharacteristic(Peripheral& peripheral,
                                                               Characteristic&,
                                                               const OptionalError& error) override
    {
        record(line(error ? "unsubscribed" : "subscribed", peripheral), error);
    }
    void peripheralDidUpdateValueForCharacteristic(Peripheral& peripheral,
                                                   Characteristic& characteristic,
                                                   const OptionalError& error) override
    {
        const QByteArray value = characteristic.value().value_or(QByteArray());
        record(line("value", peripheral) + u' ' + QString::fromLatin1(value.toHex()), error);
    }

    bool followClickers = false;
    QStringList lines;
    std::vector<std::shared_ptr<Peripheral>> discovered;
    std::function<void(const QString&)> onLine;
    int reentrantCallbacks = 0;

private:
    static QString line(const char* kind, const Peripheral& peripheral)
    {
        return QString::fromLatin1(kind) + u' ' +
               peripheral.identifier().toString(QUuid::WithoutBraces).toUpper();
    }
    void record(QString line, const OptionalError& error = std::nullopt)
    {
        if (depth_ > 0) {
            ++reentrantCallbacks;
            line.prepend(QStringLiteral("re-entrant "));
        }
        lines.append(error ? line + QStringLiteral(": ") + error->localizedDescription : line);
        if (onLine)
            onLine(lines.last());
    }
    void scanAgain(Central& central)
    {
        if (followClickers && central.state() == CentralState::poweredOn)
            call([&] { central.scanForPeripherals({BLEConstants::serviceUUID()}, false); });
    }

    int depth_ = 0;
};

} // namespace quenlark::integration
