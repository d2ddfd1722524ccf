// SPDX-License-Identifier: MIT
// Drives the real Bluetooth adapter through the port and prints one line per callback: scans for
// the clicker service, connects the first clicker found, subscribes to its command characteristic
// and prints every value, scanning again after each disconnect or failure. Any callback that
// arrives from inside a call into the adapter is printed as "re-entrant" and fails the run.
//
// Usable by hand against a real clicker: quenlark-bluetooth-harness [--values N] [--seconds S]
#include "Models/BLEConstants.hpp"
#include "Platform/Qt/QtBluetoothCentral.hpp"
#include "RecordingDelegate.hpp"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

#include <chrono>

using namespace quenlark;
using Kind = integration::BluetoothEvent::Kind;

namespace {

QString line(const integration::RecordingDelegate& delegate,
             const integration::BluetoothEvent& event)
{
    static const char* const kinds[] = {"state",           "discovered",   "connected",
                                        "failed",          "disconnected", "services",
                                        "characteristics", "subscribed",   "value"};
    static const char* const states[] = {"unknown",      "resetting",  "unsupported",
                                         "unauthorized", "poweredOff", "poweredOn"};
    QString text = QString::fromLatin1(kinds[static_cast<int>(event.kind)]) + u' ';
    if (event.kind == Kind::state)
        return text + QString::fromLatin1(states[static_cast<int>(event.state)]);
    text += event.peripheral.toString(QUuid::WithoutBraces).toUpper();
    if (event.kind == Kind::discovered)
        text +=
            QStringLiteral(" \"%1\"").arg(delegate.discovered.back()->name().value_or(QString()));
    if (event.kind == Kind::value)
        text += u' ' + QString::fromLatin1(event.value.toHex());
    return event.error ? text + QStringLiteral(": ") + event.error->localizedDescription : text;
}

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

    integration::RecordingDelegate delegate;
    delegate.subscribeClickers = true;
    QtBluetoothCentral central(delegate,
                               std::chrono::milliseconds(parser.value(connectTimeout).toInt()));
    const int valuesWanted = parser.value(values).toInt();
    delegate.onEvent = [&](const integration::BluetoothEvent& event, bool reentrant) {
        QTextStream(stdout) << (reentrant ? "re-entrant " : "") << line(delegate, event)
                            << Qt::endl;
        const bool scanAgain =
            event.kind == Kind::failedToConnect || event.kind == Kind::disconnected ||
            (event.kind == Kind::state && event.state == CentralState::poweredOn);
        if (scanAgain)
            delegate.call(
                [&] { central.scanForPeripherals({BLEConstants::serviceUUID()}, false); });
        if (valuesWanted > 0 && delegate.count(Kind::value) >= valuesWanted)
            QCoreApplication::exit(delegate.reentrantCallbacks > 0 ? 3 : 0);
    };
    if (const int limit = parser.value(seconds).toInt(); limit > 0) {
        QTimer::singleShot(std::chrono::seconds(limit), &app, [] {
            QTextStream(stdout) << "gave up" << Qt::endl;
            QCoreApplication::exit(2);
        });
    }
    const int code = QCoreApplication::exec();
    return code == 0 && delegate.reentrantCallbacks > 0 ? 3 : code;
}
