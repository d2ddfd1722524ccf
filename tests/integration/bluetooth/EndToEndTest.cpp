// SPDX-License-Identifier: MIT
#include "ChildProcess.hpp"
#include "Core/BLECentralManager.hpp"
#include "FakePlatform.hpp"
#include "Platform/Qt/QtBluetoothCentral.hpp"
#include "ScriptedBluez.hpp"

#include <QTest>

#include <gtest/gtest.h>

using namespace quenlark;
using namespace quenlark::integration;

namespace {

constexpr int patienceMs = 20000;
const QString clicker = QStringLiteral("C0:FF:EE:00:00:01");

// The fakes for everything but Bluetooth, which is real.
class ScriptedPlatform : public fakes::FakePlatform {
public:
    std::unique_ptr<Central> makeCentral(CentralDelegate& delegate) override
    {
        return std::make_unique<QtBluetoothCentral>(delegate);
    }
};

TEST(LinkOnScriptedBluez, TurnsClicksIntoCommandsAcrossADropAndReconnection)
{
    ScriptedBluez bluez;
    ASSERT_TRUE(bluez.start());
    ASSERT_TRUE(bluez.addAdapter());
    ASSERT_TRUE(bluez.addPeripheral(clicker, QStringLiteral("Clicker One"),
                                    {ScriptedBluez::clickerService()}));
    ScriptedPlatform platform;
    BLECentralManager link(platform);
    std::vector<SlideCommand> commands;
    link.onCommandReceived = [&commands](SlideCommand command) { commands.push_back(command); };

    const auto subscribed = [&] {
        return link.connectionState.value() == ConnectionState::connected &&
               bluez.isNotifying(clicker) == true;
    };
    ASSERT_TRUE(QTest::qWaitFor(subscribed, patienceMs));
    EXPECT_EQ(link.connectedDeviceName.value(), QStringLiteral("Clicker One"));
    EXPECT_EQ(platform.defaults.stringForKey(QStringLiteral("savedPeripheralUUID")),
              QStringLiteral("00000000-0000-0000-0000-C0FFEE000001"));

    for (const char* packet : {"0101", "0101", "0202", "0103"})
        ASSERT_TRUE(bluez.notify(clicker, QByteArray::fromHex(packet)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return commands.size() >= 3; }, patienceMs));
    EXPECT_EQ(commands,
              (std::vector<SlideCommand>{SlideCommand::nextSlide, SlideCommand::previousSlide,
                                         SlideCommand::nextSlide}));

    // The link scans again; BlueZ still lists the clicker, so the scan finds it at once.
    ASSERT_TRUE(bluez.dropLink(clicker));
    ASSERT_TRUE(QTest::qWaitFor(subscribed, patienceMs));
    ASSERT_TRUE(bluez.notify(clicker, QByteArray::fromHex("0203")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return commands.size() >= 4; }, patienceMs));
    EXPECT_EQ(commands.back(), SlideCommand::previousSlide);
}

// The harness in a process of its own, against a stand-in whose command line is a bare Python:
// Qt cannot learn bluetoothd's version there, and the adapter must still use the D-Bus backend.
TEST(BluetoothHarness, PrintsEveryValueWhenBluetoothdCannotBeIdentified)
{
    ScriptedBluez bluez(ScriptedBluez::Owner::python);
    ASSERT_TRUE(bluez.start());
    ASSERT_TRUE(bluez.addAdapter());
    ASSERT_TRUE(bluez.addPeripheral(clicker, QStringLiteral("Clicker One"),
                                    {ScriptedBluez::clickerService()}));

    QProcess harness;
    ChildProcess::endWithParent(harness);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Set in this process by the adapters made by earlier tests; the harness must choose alone.
    environment.remove(QStringLiteral("BLUETOOTH_FORCE_DBUS_LE_VERSION"));
    harness.setProcessEnvironment(environment);
    harness.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    harness.start(QStringLiteral(QUENLARK_BLUETOOTH_HARNESS),
                  {QStringLiteral("--values"), QStringLiteral("3"), QStringLiteral("--seconds"),
                   QStringLiteral("60")});

    QStringList lines;
    const QDeadlineTimer deadline(patienceMs);
    while (!lines.contains(QStringLiteral("subscribed 00000000-0000-0000-0000-C0FFEE000001"))) {
        const auto line = ChildProcess::readLine(harness, deadline);
        ASSERT_TRUE(line) << "harness said: " << lines.join(u'\n').toStdString();
        lines.append(*line);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return bluez.isNotifying(clicker) == true; }, patienceMs));
    for (const char* packet : {"0101", "0101", "0202"})
        ASSERT_TRUE(bluez.notify(clicker, QByteArray::fromHex(packet)));
    while (const auto line = ChildProcess::readLine(harness, QDeadlineTimer(patienceMs)))
        lines.append(*line);
    ASSERT_TRUE(harness.state() == QProcess::NotRunning || harness.waitForFinished(patienceMs));

    EXPECT_EQ(harness.exitCode(), 0) << lines.join(u'\n').toStdString();
    const QString id = QStringLiteral("00000000-0000-0000-0000-C0FFEE000001");
    EXPECT_EQ(lines,
              (QStringList{
                  QStringLiteral("state poweredOn"),
                  QStringLiteral("discovered %1 \"Clicker One\"").arg(id),
                  QStringLiteral("connected ") + id, QStringLiteral("services ") + id,
                  QStringLiteral("characteristics ") + id, QStringLiteral("subscribed ") + id,
                  QStringLiteral("value %1 0101").arg(id), QStringLiteral("value %1 0101").arg(id),
                  QStringLiteral("value %1 0202").arg(id)}));
}

} // namespace
