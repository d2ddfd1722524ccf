// SPDX-License-Identifier: MIT
#include "Platform/Qt/QtBluetoothCentral.hpp"
#include "Models/BLEConstants.hpp"
#include "RecordingDelegate.hpp"
#include "ScriptedBluez.hpp"

#include <QCoreApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>

using namespace quenlark;
using namespace quenlark::integration;
using namespace std::chrono_literals;
using Kind = BluetoothEvent::Kind;
using Behaviour = ScriptedBluez::ConnectBehaviour;

namespace {

// How long anything that should happen promptly may take on a loaded machine.
constexpr auto patience = 20s;
constexpr auto shortConnectTimeout = 2s;

const QString clicker = QStringLiteral("C0:FF:EE:00:00:01");
const QString secondClicker = QStringLiteral("C0:FF:EE:00:00:02");
const QString thirdClicker = QStringLiteral("C0:FF:EE:00:00:03");
const QString pulseMeter = QStringLiteral("C0:FF:EE:00:00:0A");
// BlueZ lists it first, and it never advertises.
const QString awayClicker = QStringLiteral("C0:FF:EE:00:00:00");

QUuid identifierOf(const QString& address)
{
    return QUuid(QStringLiteral("00000000-0000-0000-0000-") + QString(address).remove(u':'));
}

std::vector<QUuid> peripheralsOf(const std::vector<BluetoothEvent>& events)
{
    std::vector<QUuid> ids;
    for (const auto& event : events)
        ids.push_back(event.peripheral);
    return ids;
}

std::vector<CentralState> statesOf(const std::vector<BluetoothEvent>& events)
{
    std::vector<CentralState> states;
    for (const auto& event : events)
        states.push_back(event.state);
    return states;
}

class QtBluetoothCentralTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bluez.start());
        ASSERT_TRUE(bluez.addAdapter());
    }

    void TearDown() override
    {
        central.reset();
        EXPECT_EQ(delegate.reentrantCallbacks, 0) << "a callback arrived inside a call";
    }

    void makeCentral(
        std::chrono::milliseconds connectTimeout = QtBluetoothCentral::defaultConnectTimeout)
    {
        delegate.call(
            [&] { central = std::make_unique<QtBluetoothCentral>(delegate, connectTimeout); });
    }

    bool waitUntil(const std::function<bool()>& done)
    {
        return QTest::qWaitFor(done, static_cast<int>(std::chrono::milliseconds(patience).count()));
    }
    bool waitFor(Kind kind, int count = 1)
    {
        return waitUntil([&] { return delegate.count(kind) >= count; });
    }
    bool waitForNotifying(const QString& address)
    {
        return waitUntil([&] { return bluez.isNotifying(address) == true; });
    }

    void scan()
    {
        delegate.call([&] { central->scanForPeripherals({BLEConstants::serviceUUID()}, false); });
    }

    // A central with the radio on, subscribed to the clicker's notifications.
    void subscribeToClicker()
    {
        ASSERT_TRUE(bluez.addPeripheral(clicker, QStringLiteral("Clicker One"),
                                        {ScriptedBluez::clickerService()}));
        makeCentral();
        delegate.subscribeClickers = true;
        ASSERT_TRUE(waitFor(Kind::state));
        scan();
        ASSERT_TRUE(waitForNotifying(clicker));
    }

    // Lets everything BlueZ has sent so far reach the adapter and its queued callbacks run: the
    // stand-in answers a call only after the signals it sent before.
    void drainEvents()
    {
        bluez.isConnected(clicker);
        for (int round = 0; round < 3; ++round)
            QCoreApplication::processEvents();
    }

    ScriptedBluez bluez;
    RecordingDelegate delegate;
    std::unique_ptr<QtBluetoothCentral> central;
};

// Steps without a report of their own are checked by the next step that has one: BlueZ's signals
// arrive in order, so a spurious report would sit in the sequence before it.
TEST_F(QtBluetoothCentralTest, ReportsPowerAndAdapterChangesButNotDiscoverability)
{
    makeCentral();
    EXPECT_TRUE(delegate.events.empty()) << "reported from inside the constructor";
    EXPECT_EQ(central->state(), CentralState::unknown);
    ASSERT_TRUE(waitFor(Kind::state));
    EXPECT_EQ(central->state(), CentralState::poweredOn);

    struct Step {
        const char* what;
        std::function<testing::AssertionResult()> act;
        std::optional<CentralState> reported;
    };
    const std::vector<Step> steps = {
        {"scan starts, BlueZ turns discoverable on",
         [&] {
             scan();
             return testing::AssertionSuccess();
         },
         std::nullopt},
        {"discoverable off", [&] { return bluez.setDiscoverable(false); }, std::nullopt},
        {"discoverable on", [&] { return bluez.setDiscoverable(true); }, std::nullopt},
        {"power off", [&] { return bluez.setPowered(false); }, CentralState::poweredOff},
        {"discoverable off while off", [&] { return bluez.setDiscoverable(false); }, std::nullopt},
        {"power on", [&] { return bluez.setPowered(true); }, CentralState::poweredOn},
        {"adapter removed", [&] { return bluez.removeAdapter(); }, CentralState::unsupported},
        {"adapter added", [&] { return bluez.addAdapter(); }, CentralState::poweredOn},
        {"power off again", [&] { return bluez.setPowered(false); }, CentralState::poweredOff},
        {"adapter removed while off", [&] { return bluez.removeAdapter(); },
         CentralState::unsupported},
        {"adapter back", [&] { return bluez.addAdapter(); }, CentralState::poweredOn},
        // Its adapters vanish without InterfacesRemoved; a new bluetoothd announces its own.
        {"bluetoothd stops", [&] { return bluez.stop(); }, CentralState::unsupported},
        {"bluetoothd starts again", [&] { return bluez.start(); }, std::nullopt},
        {"and finds its adapter", [&] { return bluez.addAdapter(); }, CentralState::poweredOn},
    };

    std::vector<CentralState> expected{CentralState::poweredOn};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        ASSERT_TRUE(step.act());
        if (!step.reported)
            continue;
        expected.push_back(*step.reported);
        ASSERT_TRUE(waitFor(Kind::state, static_cast<int>(expected.size())));
        EXPECT_EQ(statesOf(delegate.ofKind(Kind::state)), expected);
        EXPECT_EQ(central->state(), *step.reported);
    }
}

TEST_F(QtBluetoothCentralTest, DiscoveryReportsOnlyClickersAndEachOncePerScan)
{
    ASSERT_TRUE(
        bluez.addPeripheral(clicker, QStringLiteral("Clicker One"),
                            {ScriptedBluez::heartRateService(), ScriptedBluez::clickerService()}));
    ASSERT_TRUE(bluez.addPeripheral(pulseMeter, QStringLiteral("Pulse"),
                                    {ScriptedBluez::heartRateService()}));
    ASSERT_TRUE(bluez.addPeripheral(awayClicker, QStringLiteral("Away"),
                                    {ScriptedBluez::clickerService()}));
    ASSERT_TRUE(bluez.setAdvertising(awayClicker, false));
    makeCentral();
    ASSERT_TRUE(waitFor(Kind::state));

    // Only what is heard during the scan is reported, never from inside the call that starts it.
    scan();
    ASSERT_TRUE(waitFor(Kind::discovered));
    for (const qint16 rssi : {-50, -45, -40})
        ASSERT_TRUE(bluez.setRssi(clicker, rssi));
    ASSERT_TRUE(bluez.addPeripheral(secondClicker, QString(), {ScriptedBluez::clickerService()}));
    ASSERT_TRUE(waitFor(Kind::discovered, 2));
    EXPECT_EQ(peripheralsOf(delegate.ofKind(Kind::discovered)),
              (std::vector<QUuid>{identifierOf(clicker), identifierOf(secondClicker)}));
    EXPECT_EQ(delegate.discovered.at(0)->name(), QStringLiteral("Clicker One"));
    EXPECT_EQ(delegate.discovered.at(1)->name(), std::nullopt) << "BlueZ's alias is the address";

    // A new scan reports each again, once, as the same peripheral objects.
    scan();
    ASSERT_TRUE(waitFor(Kind::discovered, 4));
    ASSERT_TRUE(bluez.setRssi(secondClicker, -30));
    ASSERT_TRUE(bluez.addPeripheral(thirdClicker, QStringLiteral("Clicker Three"),
                                    {ScriptedBluez::clickerService()}));
    ASSERT_TRUE(waitFor(Kind::discovered, 5));
    EXPECT_EQ(peripheralsOf(delegate.ofKind(Kind::discovered)),
              (std::vector<QUuid>{identifierOf(clicker), identifierOf(secondClicker),
                                  identifierOf(clicker), identifierOf(secondClicker),
                                  identifierOf(thirdClicker)}));
    EXPECT_EQ(delegate.discovered.at(0), delegate.discovered.at(2));
    EXPECT_EQ(delegate.discovered.at(1), delegate.discovered.at(3));
}

TEST_F(QtBluetoothCentralTest, StoppingTheScanEndsDiscoveryReportsAtOnce)
{
    ASSERT_TRUE(bluez.addPeripheral(clicker, QStringLiteral("Clicker One"),
                                    {ScriptedBluez::clickerService()}));
    ASSERT_TRUE(bluez.addPeripheral(secondClicker, QStringLiteral("Clicker Two"),
                                    {ScriptedBluez::clickerService()}));
    makeCentral();
    ASSERT_TRUE(waitFor(Kind::state));
    // Both are heard at the same advertising interval; stopping at the first drops the second.
    delegate.onDiscovered = [&](Central& reporting, const std::shared_ptr<Peripheral>&) {
        delegate.call([&] { reporting.stopScan(); });
    };
    scan();
    ASSERT_TRUE(waitFor(Kind::discovered));
    ASSERT_TRUE(bluez.addPeripheral(thirdClicker, QStringLiteral("Clicker Three"),
                                    {ScriptedBluez::clickerService()}));
    ASSERT_TRUE(bluez.setPowered(false));
    ASSERT_TRUE(waitFor(Kind::state, 2));

    EXPECT_EQ(peripheralsOf(delegate.ofKind(Kind::discovered)),
              std::vector<QUuid>{identifierOf(clicker)});
}

// A burst as quick as the stand-in can send, identical repeats included, arrives whole and in
// order.
TEST_F(QtBluetoothCentralTest, DeliversEveryNotificationInOrderIdenticalRepeatsIncluded)
{
    subscribeToClicker();
    ASSERT_FALSE(HasFatalFailure());
    constexpr int burst = 300;
    std::vector<QByteArray> sent;
    for (int i = 0; i < burst; ++i)
        sent.push_back(QByteArray{1, static_cast<char>(i / 3)});
    for (const QByteArray& value : sent)
        ASSERT_TRUE(bluez.notify(clicker, value));
    ASSERT_TRUE(waitFor(Kind::value, burst));

    std::vector<QByteArray> received;
    for (const auto& event : delegate.ofKind(Kind::value)) {
        received.push_back(event.value);
        EXPECT_EQ(event.attribute, BLEConstants::characteristicUUID());
        EXPECT_EQ(event.peripheral, identifierOf(clicker));
    }
    EXPECT_EQ(received, sent);
}

// Also how a refused attempt is reported, and that a callback of a connection cancelled and
// replaced before it could be delivered is dropped.
TEST_F(QtBluetoothCentralTest, CancellingEndsAConnectionOrAnAttemptWithADisconnect)
{
    ASSERT_TRUE(bluez.addPeripheral(clicker, QStringLiteral("Clicker One"),
                                    {ScriptedBluez::clickerService()}));
    makeCentral(shortConnectTimeout);
    ASSERT_TRUE(waitFor(Kind::state));
    scan();
    ASSERT_TRUE(waitFor(Kind::discovered));
    const auto peripheral = delegate.discovered.front();
    delegate.call([&] { central->stopScan(); });

    ASSERT_TRUE(bluez.setConnectBehaviour(clicker, Behaviour::fail));
    for (int failures = 1; failures <= 2; ++failures) {
        delegate.call([&] { central->connectPeripheral(*peripheral); });
        ASSERT_TRUE(waitFor(Kind::failedToConnect, failures));
        ASSERT_TRUE(delegate.events.back().error);
        EXPECT_FALSE(delegate.events.back().error->localizedDescription.isEmpty());
    }

    // After failures the next attempt waits half a second, so these calls meet no BlueZ call.
    ASSERT_TRUE(bluez.setConnectBehaviour(clicker, Behaviour::succeed));
    delegate.call([&] {
        central->connectPeripheral(*peripheral);
        central->cancelPeripheralConnection(*peripheral);
        central->connectPeripheral(*peripheral);
    });
    ASSERT_TRUE(waitFor(Kind::connected));
    EXPECT_EQ(delegate.count(Kind::disconnected), 0);

    delegate.call([&] { central->cancelPeripheralConnection(*peripheral); });
    ASSERT_TRUE(waitFor(Kind::disconnected));
    EXPECT_FALSE(delegate.events.back().error);
    EXPECT_TRUE(waitUntil([&] { return bluez.isConnected(clicker) == false; }));

    ASSERT_TRUE(bluez.setConnectBehaviour(clicker, Behaviour::hang));
    delegate.call([&] {
        central->connectPeripheral(*peripheral);
        central->cancelPeripheralConnection(*peripheral);
    });
    ASSERT_TRUE(waitFor(Kind::disconnected, 2));
    EXPECT_FALSE(delegate.events.back().error);

    // The cancelled attempt's bound passes without a word.
    ASSERT_TRUE(bluez.setConnectBehaviour(clicker, Behaviour::succeed));
    QTest::qWait(static_cast<int>(std::chrono::milliseconds(shortConnectTimeout + 500ms).count()));
    delegate.call([&] { central->connectPeripheral(*peripheral); });
    ASSERT_TRUE(waitFor(Kind::connected, 2));
    EXPECT_EQ(delegate.count(Kind::failedToConnect), 2);
}

// Without notifications the connection is of no use: it ends at once, not at the setup bound.
TEST_F(QtBluetoothCentralTest, ARefusedSubscriptionEndsTheConnection)
{
    ASSERT_TRUE(bluez.addPeripheral(clicker, QStringLiteral("Clicker One"),
                                    {ScriptedBluez::clickerService()}));
    ASSERT_TRUE(bluez.setNotifyBehaviour(clicker, ScriptedBluez::NotifyBehaviour::fail));
    makeCentral();
    delegate.subscribeClickers = true;
    ASSERT_TRUE(waitFor(Kind::state));
    scan();
    ASSERT_TRUE(waitFor(Kind::subscribed));
    EXPECT_TRUE(QTest::qWaitFor([&] { return delegate.count(Kind::disconnected) == 1; }, 5000));
    ASSERT_EQ(delegate.count(Kind::disconnected), 1);
    EXPECT_TRUE(delegate.ofKind(Kind::disconnected).front().error);
}

struct RadioLossCase {
    const char* name;
    std::function<testing::AssertionResult(ScriptedBluez&)> lose;
    CentralState reported;
};

void PrintTo(const RadioLossCase& loss, std::ostream* out)
{
    *out << loss.name;
}

class RadioLossTest : public QtBluetoothCentralTest,
                      public testing::WithParamInterface<RadioLossCase> {};

TEST_P(RadioLossTest, WhileConnectedReportsTheDisconnectThenTheState)
{
    subscribeToClicker();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(GetParam().lose(bluez));
    ASSERT_TRUE(waitFor(Kind::state, 2));

    const auto& events = delegate.events;
    ASSERT_EQ(delegate.count(Kind::disconnected), 1);
    EXPECT_EQ(events.at(events.size() - 2).kind, Kind::disconnected);
    ASSERT_TRUE(events.at(events.size() - 2).error);
    EXPECT_EQ(central->state(), GetParam().reported);
}

INSTANTIATE_TEST_SUITE_P(
    Bluez, RadioLossTest,
    testing::Values(
        RadioLossCase{"PowerOff", [](ScriptedBluez& bluez) { return bluez.setPowered(false); },
                      CentralState::poweredOff},
        RadioLossCase{"AdapterRemoved", [](ScriptedBluez& bluez) { return bluez.removeAdapter(); },
                      CentralState::unsupported},
        // It says nothing of its connections as it goes.
        RadioLossCase{"BluetoothdStops", [](ScriptedBluez& bluez) { return bluez.stop(); },
                      CentralState::unsupported}),
    [](const testing::TestParamInfo<RadioLossCase>& info) { return info.param.name; });

TEST_F(QtBluetoothCentralTest, APeripheralLetGoOfEndsItsConnectionAndTheCentralCarriesOn)
{
    subscribeToClicker();
    ASSERT_FALSE(HasFatalFailure());
    delegate.discovered.clear();
    EXPECT_TRUE(waitUntil([&] { return bluez.isConnected(clicker) == false; }));

    delegate.subscribeClickers = true;
    scan();
    ASSERT_TRUE(waitFor(Kind::discovered, 2));
    ASSERT_TRUE(waitForNotifying(clicker));
    EXPECT_EQ(delegate.count(Kind::disconnected), 0);
}

TEST_F(QtBluetoothCentralTest, APeripheralOutlivingItsCentralStaysQuietAndSafe)
{
    subscribeToClicker();
    ASSERT_FALSE(HasFatalFailure());
    const auto peripheral = delegate.discovered.front();
    central.reset();

    const std::size_t before = delegate.events.size();
    ASSERT_TRUE(bluez.dropLink(clicker));
    drainEvents();
    delegate.call([&] {
        peripheral->discoverServices({BLEConstants::serviceUUID()});
        peripheral->setDelegate(nullptr);
    });
    drainEvents();
    EXPECT_EQ(delegate.events.size(), before);
    EXPECT_EQ(peripheral->identifier(), identifierOf(clicker));
}

} // namespace
