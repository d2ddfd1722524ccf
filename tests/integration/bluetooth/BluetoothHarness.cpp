// SPDX-License-Identifier: MIT
// Drives the real Bluetooth adapter through the port and prints one line per callback: scans for
// the clicker service, connects the first clicker found, subscribes to its command characteristic
// and prints every value, scanning again after each disconnect or failure. Any callback that
// arrives from inside a call into the adapter is printed as "re-entrant" and fails the run.
//
// Usable by hand against a real clicker: quenlark-bluetooth-harness [--values N] [--seconds S]
#include "Models/BLEConstants.hpp"
#include "Platform/Qt/QtBluetoothCentral.hpp"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

#include <chrono>

using namespace quenlark;

namespace {

QString text(const QUuid& uuid)
{
    return uuid.toString(QUuid::WithoutBraces).toUpper();
}

QString describe(const OptionalError& error)
{
    return error ? QStringLiteral(": ") + error->localizedDescription : QString();
}

QString nameOf(CentralState state)
{
    switch (state) {
    case CentralState::unknown:
        return QStringLiteral("unknown");
    case CentralState::resetting:
        return QStringLiteral("resetting");
    case CentralState::unsupported:
        return QStringLiteral("unsupported");
    case CentralState::unauthorized:
        return QStringLiteral("unauthorized");
    case CentralState::poweredOff:
        return QStringLiteral("poweredOff");
    case CentralState::poweredOn:
        break;
    }
    return QStringLiteral("poweredOn");
}

class Harness : public CentralDelegate, public PeripheralDelegate {
public:
    Harness(int valuesWanted, std::chrono::milliseconds connectTimeout)
        : valuesWanted_(valuesWanted), central_(*this, connectTimeout)
    {}

    int exitCode() const { return reentrant_ ? 3 : 0; }

    void centralManagerDidUpdateState(Central& central) override
    {
        print(QStringLiteral("state ") + nameOf(central.state()));
        if (central.state() == CentralState::poweredOn)
            scan();
    }

    void centralManagerDidDiscoverPeripheral(Central&,
                                             std::shared_ptr<Peripheral> peripheral) override
    {
        print(QStringLiteral("discovered %1 \"%2\"")
                  .arg(text(peripheral->identifier()), peripheral->name().value_or(QString())));
        peripheral_ = std::move(peripheral);
        into([&] {
            central_.stopScan();
            peripheral_->setDelegate(this);
            central_.connectPeripheral(*peripheral_);
        });
    }

    void centralManagerDidConnectPeripheral(Central&, Peripheral& peripheral) override
    {
        print(QStringLiteral("connected ") + text(peripheral.identifier()));
        into([&] { peripheral.discoverServices({BLEConstants::serviceUUID()}); });
    }

    void centralManagerDidFailToConnectPeripheral(Central&, Peripheral& peripheral,
                                                  const OptionalError& error) override
    {
        print(QStringLiteral("failed ") + text(peripheral.identifier()) + describe(error));
        scan();
    }

    void centralManagerDidDisconnectPeripheral(Central&, Peripheral& peripheral,
                                               const OptionalError& error) override
    {
        print(QStringLiteral("disconnected ") + text(peripheral.identifier()) + describe(error));
        scan();
    }

    void peripheralDidDiscoverServices(Peripheral& peripheral, const OptionalError& error) override
    {
        print(QStringLiteral("services ") + text(peripheral.identifier()) + describe(error));
        for (Service* service : peripheral.services().value_or(QList<Service*>{})) {
            if (service->uuid() == BLEConstants::serviceUUID())
                into([&] {
                    peripheral.discoverCharacteristics({BLEConstants::characteristicUUID()},
                                                       *service);
                });
        }
    }

    void peripheralDidDiscoverCharacteristicsForService(Peripheral& peripheral, Service& service,
                                                        const OptionalError& error) override
    {
        print(QStringLiteral("characteristics ") + text(peripheral.identifier()) + describe(error));
        for (Characteristic* characteristic :
             service.characteristics().value_or(QList<Characteristic*>{})) {
            if (characteristic->uuid() != BLEConstants::characteristicUUID())
                continue;
            into([&] { peripheral.setNotifyValue(true, *characteristic); });
            print(QStringLiteral("subscribed ") + text(peripheral.identifier()));
        }
    }

    void peripheralDidUpdateValueForCharacteristic(Peripheral& peripheral,
                                                   Characteristic& characteristic,
                                                   const OptionalError& error) override
    {
        print(QStringLiteral("value %1 %2%3")
                  .arg(text(peripheral.identifier()),
                       QString::fromLatin1(characteristic.value().value_or(QByteArray()).toHex()),
                       describe(error)));
        if (valuesWanted_ > 0 && ++values_ >= valuesWanted_)
            QCoreApplication::exit(exitCode());
    }

private:
    template <typename Call> void into(Call&& call)
    {
        ++depth_;
        std::forward<Call>(call)();
        --depth_;
    }

    void scan()
    {
        into([&] { central_.scanForPeripherals({BLEConstants::serviceUUID()}, false); });
    }

    void print(const QString& line)
    {
        QTextStream out(stdout);
        if (depth_ > 0) {
            reentrant_ = true;
            out << "re-entrant ";
        }
        out << line << Qt::endl;
    }

    int valuesWanted_;
    int values_ = 0;
    int depth_ = 0;
    bool reentrant_ = false;
    std::shared_ptr<Peripheral> peripheral_;
    QtBluetoothCentral central_;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Connects the first clicker found and prints what the adapter reports."));
    parser.addHelpOption();
    const QCommandLineOption values(QStringLiteral("values"),
                                    QStringLiteral("Exit after this many values (0: never)."),
                                    QStringLiteral("count"), QStringLiteral("0"));
    const QCommandLineOption seconds(QStringLiteral("seconds"),
                                     QStringLiteral("Give up after this long (0: never)."),
                                     QStringLiteral("seconds"), QStringLiteral("0"));
    const QCommandLineOption connectTimeout(
        QStringLiteral("connect-timeout"), QStringLiteral("Bound of a connection attempt."),
        QStringLiteral("ms"), QString::number(QtBluetoothCentral::defaultConnectTimeout.count()));
    parser.addOptions({values, seconds, connectTimeout});
    parser.process(app);

    Harness harness(parser.value(values).toInt(),
                    std::chrono::milliseconds(parser.value(connectTimeout).toInt()));
    if (const int limit = parser.value(seconds).toInt(); limit > 0) {
        QTimer::singleShot(std::chrono::seconds(limit), &app, [] {
            QTextStream(stdout) << "gave up" << Qt::endl;
            QCoreApplication::exit(2);
        });
    }
    const int code = QCoreApplication::exec();
    return code == 0 ? harness.exitCode() : code;
}
