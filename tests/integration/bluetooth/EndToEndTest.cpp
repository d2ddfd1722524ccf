// SPDX-License-Identifier: MIT
#include "ChildProcess.hpp"
#include "Core/BLECentralManager.hpp"
#include "FakePlatform.hpp"
#include "Platform/Qt/QtBluetoothCentral.hpp"
#include "ScriptedBluez.hpp"

#include <QTest>

#include <gtest/gtest.h>

#include <functional>

using namespace quenlark;
using namespace quenlark::integration;

namespace {

using namespace std::chrono_literals;

constexpr int patienceMs = 20000;
const QString clicker = QStringLiteral("C0:FF:EE:00:00:01");
// BlueZ lists devices in the order of their paths: this one comes before the clicker.
const QString absent = QStringLiteral("C0:FF:EE:00:00:00");

// The fakes for everything but Bluetooth, which is real, with short bounds so that a test sees a
// bound pass in a few seconds.
class ScriptedPlatform : public fakes::FakePlatform {
public:
    std::unique_ptr<Central> makeCentral(CentralDelegate& delegate) override
    {
        return std::make_unique<QtBluetoothCentral>(delegate, 3s, 2s);
    }
};

class LinkOnScriptedBluez : public testing::Test {
public:
    void SetUp() override
    {
        ASSERT_TRUE(bluez.start());
        ASSERT_TRUE(bluez.addAdapter());
    }

    void startLink()
    {
        link = std::make_unique<BLECentralManager>(platform);
        link->onCommandReceived = [this](SlideCommand command) { commands.push_back(command); };
    }

    bool subscribed()
    {
        return link->connectionState.value() == ConnectionState::connected &&
               bluez.isNotifying(clicker) == true;
    }
    bool waitUntilSubscribed()
    {
        return QTest::qWaitFor([this] { return subscribed(); }, patienceMs);
    }
    bool waitUntil(const std::function<bool()>& done, int ms = patienceMs)
    {
        return QTest::qWaitFor(done, ms);
    }

    ScriptedBluez bluez;
    ScriptedPlatform platform;
    std::unique_ptr<BLECentralManager> link;
    std::vector<SlideCommand> commands;
};

TEST_F(LinkOnScriptedBluez, TurnsClicksIntoCommandsAcrossADropAndReconnection)
{
    ASSERT_TRUE(bluez.addPeripheral(clicker, QStringLiteral("Clicker One"),
                                    {ScriptedBluez::clickerService()}));
    startLink();
    ASSERT_TRUE(waitUntilSubscribed());
    EXPECT_EQ(link->connectedDeviceName.value(), QStringLiteral("Clicker One"));
    EXPECT_EQ(platform.defaults.stringForKey(QStringLiteral("savedPeripheralUUID")),
              QStringLiteral("00000000-0000-0000-0000-C0FFEE000001"));

    for (const char* packet : {"0101", "0101", "0202", "0103"})
        ASSERT_TRUE(bluez.notify(clicker, QByteArray::fromHex(packet)));
    ASSERT_TRUE(waitUntil([&] { return commands.size() >= 3; }));
    EXPECT_EQ(commands,
              (std::vector<SlideCommand>{SlideCommand::nextSlide, SlideCommand::previousSlide,
                                         SlideCommand::nextSlide}));

    // The clicker advertises again once the link is gone, and the scan hears it.
    ASSERT_TRUE(bluez.dropLink(clicker));
    ASSERT_TRUE(waitUntilSubscribed());
    ASSERT_TRUE(bluez.notify(clicker, QByteArray::fromHex("0203")));
    ASSERT_TRUE(waitUntil([&] { return commands.size() >= 4; }));
    EXPECT_EQ(commands.back(), SlideCommand::previousSlide);
}

// What real bluetoothd does to a link, and how the link must come out of it: subscribed to the
// clicker again once the fault is over.
struct BluezFault {
    const char* name;
    // Before the link starts, or, when `whileSubscribed`, once it is subscribed.
    std::function<testing::AssertionResult(ScriptedBluez&)> strike;
    // Holds once the link has dealt with the fault; the fault then ends with `mend`.
    std::function<bool(LinkOnScriptedBluez&, ScriptedBluez&)> handled;
    std::function<testing::AssertionResult(ScriptedBluez&)> mend;
    bool whileSubscribed;
};

void PrintTo(const BluezFault& fault, std::ostream* out)
{
    *out << fault.name;
}

class LinkSurvives : public LinkOnScriptedBluez, public testing::WithParamInterface<BluezFault> {};

TEST_P(LinkSurvives, AndIsSubscribedAgainOnceTheFaultEnds)
{
    const BluezFault& fault = GetParam();
    ASSERT_TRUE(bluez.addPeripheral(clicker, QStringLiteral("Clicker One"),
                                    {ScriptedBluez::clickerService()}));
    if (fault.whileSubscribed) {
        startLink();
        ASSERT_TRUE(waitUntilSubscribed());
        ASSERT_TRUE(fault.strike(bluez));
    } else {
        ASSERT_TRUE(fault.strike(bluez));
        startLink();
    }
    ASSERT_TRUE(waitUntil([&] { return fault.handled(*this, bluez); }));
    ASSERT_TRUE(fault.mend(bluez));
    ASSERT_TRUE(waitUntilSubscribed());
}

testing::AssertionResult nothingToMend(ScriptedBluez&)
{
    return testing::AssertionSuccess();
}

// The steps run in order; the first that fails is the answer.
testing::AssertionResult allOf(std::initializer_list<testing::AssertionResult> steps)
{
    for (const auto& step : steps)
        if (!step)
            return step;
    return testing::AssertionSuccess();
}

using Connect = ScriptedBluez::ConnectBehaviour;
using Notify = ScriptedBluez::NotifyBehaviour;

auto connecting(Connect how)
{
    return [how](ScriptedBluez& bluez) { return bluez.setConnectBehaviour(clicker, how); };
}

auto notifying(Notify how)
{
    return [how](ScriptedBluez& bluez) { return bluez.setNotifyBehaviour(clicker, how); };
}

testing::AssertionResult otherwiseFine(ScriptedBluez& bluez)
{
    return allOf({connecting(Connect::succeed)(bluez), notifying(Notify::succeed)(bluez)});
}

// The link let go of a connection that could not be used and tried again.
bool triedAgain(LinkOnScriptedBluez&, ScriptedBluez& bluez)
{
    return bluez.connectCalls(clicker) >= 2;
}

INSTANTIATE_TEST_SUITE_P(
    Bluez, LinkSurvives,
    testing::Values(
        // BlueZ lists a remembered device first; its Connect waits for an advertisement.
        BluezFault{"CachedAbsentDeviceListedFirst",
                   [](ScriptedBluez& bluez) {
                       return allOf({bluez.addPeripheral(absent, QStringLiteral("Gone"),
                                                         {ScriptedBluez::clickerService()}),
                                     bluez.setAdvertising(absent, false)});
                   },
                   [](LinkOnScriptedBluez&, ScriptedBluez& bluez) {
                       return bluez.connectCalls(clicker) >= 1 && bluez.connectCalls(absent) == 0;
                   },
                   nothingToMend, false},
        // Five seconds of refusals: a growing pause keeps the attempts few.
        BluezFault{"ConnectRefusedAtOnce", connecting(Connect::fail),
                   [](LinkOnScriptedBluez&, ScriptedBluez& bluez) {
                       QTest::qWait(5000);
                       const int attempts = bluez.connectCalls(clicker);
                       return attempts >= 2 && attempts <= 8;
                   },
                   otherwiseFine, false},
        // It comes back with a fresh object tree and adapter, on which the scan must run.
        BluezFault{"BluetoothdRestarts", [](ScriptedBluez& bluez) { return bluez.stop(); },
                   [](LinkOnScriptedBluez& test, ScriptedBluez&) {
                       return test.link->connectionState.value() != ConnectionState::connected &&
                              !test.link->connectedDeviceName.value();
                   },
                   [](ScriptedBluez& bluez) {
                       return allOf({bluez.start(), bluez.addAdapter(),
                                     bluez.addPeripheral(clicker, QStringLiteral("Clicker One"),
                                                         {ScriptedBluez::clickerService()})});
                   },
                   true},
        BluezFault{"ConnectNeverAnswered", connecting(Connect::hang), triedAgain, otherwiseFine,
                   false},
        BluezFault{"SubscriptionRefused", notifying(Notify::fail), triedAgain, otherwiseFine,
                   false},
        BluezFault{"SubscriptionNeverAnswered", notifying(Notify::hang), triedAgain, otherwiseFine,
                   false},
        BluezFault{"ServicesNeverResolved", connecting(Connect::unresolved), triedAgain,
                   otherwiseFine, false},
        // Suspend and resume, as the radio sees them.
        BluezFault{"PowerCycle",
                   [](ScriptedBluez& bluez) {
                       return allOf({bluez.setPowered(false), bluez.setPowered(true)});
                   },
                   triedAgain, nothingToMend, true},
        BluezFault{
            "DiscoveryEndsWhileScanning",
            [](ScriptedBluez& bluez) {
                return allOf({bluez.setAdvertising(clicker, false), bluez.dropLink(clicker)});
            },
            [](LinkOnScriptedBluez& test, ScriptedBluez& bluez) {
                return test.link->connectionState.value() == ConnectionState::advertising &&
                       bluez.endDiscovery();
            },
            [](ScriptedBluez& bluez) { return bluez.setAdvertising(clicker, true); }, true}),
    [](const testing::TestParamInfo<BluezFault>& info) { return info.param.name; });

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
