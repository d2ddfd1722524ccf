// SPDX-License-Identifier: MIT
#include "Core/BLECentralManager.hpp"
#include "FakePlatform.hpp"
#include "Models/BLEConstants.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace quenlark;
using namespace quenlark::fakes;
using Call = FakeCentral::Call;

namespace {

const QUuid firstId(QStringLiteral("00000000-0000-0000-0000-a1b2c3d4e5f6"));
const QUuid secondId(QStringLiteral("00000000-0000-0000-0000-0000000000b2"));
const QString firstIdText = QStringLiteral("00000000-0000-0000-0000-A1B2C3D4E5F6");

// Records every announced assignment of the link's published values, in order.
class LinkTest : public testing::Test {
protected:
    void SetUp() override { makeLink(); }

    void makeLink()
    {
        subscriptions.clear();
        link = std::make_unique<BLECentralManager>(platform);
        central = platform.central;
        QObject::connect(link.get(), &BLECentralManager::objectWillChange,
                         [this] { ++announcements; });
        subscriptions.push_back(link->connectionState.subscribe(
            [this](const ConnectionState& s) { states.push_back(s); }));
        states.clear();
    }

    std::shared_ptr<FakePeripheral> clicker(QUuid id = firstId,
                                            std::optional<QString> name = QStringLiteral("Clicker"))
    {
        auto peripheral = std::make_shared<FakePeripheral>(id, std::move(name));
        peripheral->addClickerLayout();
        return peripheral;
    }

    // Power on, discover and connect one clicker.
    std::shared_ptr<FakePeripheral> connectClicker(QUuid id = firstId)
    {
        central->reportState(CentralState::poweredOn);
        auto peripheral = clicker(id);
        central->discover(peripheral);
        central->reportConnected(*peripheral);
        return peripheral;
    }

    static FakeCharacteristic& commandOf(FakePeripheral& peripheral)
    {
        return *static_cast<FakeCharacteristic*>(
            peripheral.services()->at(0)->characteristics()->at(0));
    }

    FakePlatform platform;
    std::unique_ptr<BLECentralManager> link;
    FakeCentral* central = nullptr;
    std::vector<ConnectionState> states;
    std::vector<Subscription> subscriptions;
    int announcements = 0;
};

} // namespace

TEST_F(LinkTest, ConstructionMakesOneCentralAndStartsNothing)
{
    EXPECT_EQ(platform.centralsMade, 1);
    EXPECT_EQ(&central->delegate(), link.get());
    EXPECT_TRUE(central->calls.empty());
    EXPECT_EQ(link->connectionState.value(), ConnectionState::disconnected);
    EXPECT_EQ(link->connectedDeviceName.value(), std::nullopt);
    EXPECT_FALSE(link->hasPairedDevice.value());
    EXPECT_EQ(announcements, 0);
}

TEST_F(LinkTest, RememberedClickerAtStartIsPairedWithoutAnnouncement)
{
    platform.defaults.values.insert(BLECentralManager::savedUUIDKey(), firstIdText);
    makeLink();
    EXPECT_TRUE(link->hasPairedDevice.value());
    EXPECT_EQ(announcements, 0);
}

TEST_F(LinkTest, PowerReportsStartScanOrDisconnect)
{
    const struct {
        CentralState state;
        bool scans;
    } table[] = {
        {CentralState::unknown, false},     {CentralState::resetting, false},
        {CentralState::unsupported, false}, {CentralState::unauthorized, false},
        {CentralState::poweredOff, false},  {CentralState::poweredOn, true},
    };
    for (const auto& row : table) {
        makeLink();
        central->reportState(row.state);
        EXPECT_EQ(states, std::vector{row.scans ? ConnectionState::advertising
                                                : ConnectionState::disconnected})
            << static_cast<int>(row.state);
        ASSERT_EQ(central->countOf(Call::scan), row.scans ? 1 : 0);
        if (row.scans) {
            EXPECT_EQ(central->calls[0].services, QList<QUuid>{BLEConstants::serviceUUID()});
            EXPECT_FALSE(central->calls[0].allowDuplicates);
        }
    }
}

TEST_F(LinkTest, FirstClickerIsPickedAndConnectedWhenNoneIsRemembered)
{
    central->reportState(CentralState::poweredOn);
    auto peripheral = clicker();
    central->discover(peripheral);

    ASSERT_EQ(central->calls.size(), 3u);
    EXPECT_EQ(central->calls[1].call, Call::stopScan);
    EXPECT_EQ(central->calls[2].call, Call::connect);
    EXPECT_EQ(central->calls[2].peripheral, peripheral.get());
    EXPECT_EQ(peripheral->delegate(), link.get());
    EXPECT_EQ(link->connectionState.value(), ConnectionState::advertising);
    EXPECT_FALSE(platform.defaults.stringForKey(BLECentralManager::savedUUIDKey()));
}

TEST_F(LinkTest, OnlyTheRememberedClickerIsPickedByExactText)
{
    central->reportState(CentralState::poweredOn);
    const QString stored[] = {firstIdText, firstIdText.toLower(),
                              QStringLiteral("{") + firstIdText + QStringLiteral("}")};
    for (const QString& text : stored) {
        platform.defaults.values.insert(BLECentralManager::savedUUIDKey(), text);
        central->calls.clear();
        central->discover(clicker(secondId));
        central->discover(clicker(firstId));
        const int expectedConnects = text == firstIdText ? 1 : 0;
        EXPECT_EQ(central->countOf(Call::connect), expectedConnects) << text.toStdString();
        EXPECT_EQ(central->countOf(Call::stopScan), expectedConnects) << text.toStdString();
    }
}

TEST_F(LinkTest, ConnectionStoresIdentifierAndPublishesInOrder)
{
    central->reportState(CentralState::poweredOn);
    auto peripheral = clicker();
    central->discover(peripheral);

    std::vector<std::string> order;
    auto s1 = link->hasPairedDevice.subscribe([&](const bool&) { order.push_back("paired"); });
    auto s2 =
        link->connectionState.subscribe([&](const ConnectionState&) { order.push_back("state"); });
    auto s3 = link->connectedDeviceName.subscribe([&](const auto&) { order.push_back("name"); });
    order.clear();
    central->reportConnected(*peripheral);

    EXPECT_EQ(order, (std::vector<std::string>{"paired", "state", "name"}));
    EXPECT_EQ(platform.defaults.stringForKey(BLECentralManager::savedUUIDKey()), firstIdText);
    EXPECT_TRUE(link->hasPairedDevice.value());
    EXPECT_EQ(link->connectionState.value(), ConnectionState::connected);
    EXPECT_EQ(link->connectedDeviceName.value(), QStringLiteral("Clicker"));
    ASSERT_EQ(peripheral->discoverServicesCalls.size(), 1u);
    EXPECT_EQ(peripheral->discoverServicesCalls[0], QList<QUuid>{BLEConstants::serviceUUID()});
}

TEST_F(LinkTest, UnnamedClickerIsShownAsQuenlarkAndEmptyNameIsKept)
{
    const std::pair<std::optional<QString>, QString> table[] = {
        {std::nullopt, QStringLiteral("Quenlark")},
        {QString(), QString()},
        {QStringLiteral("R400"), QStringLiteral("R400")},
    };
    for (const auto& [name, shown] : table) {
        makeLink();
        central->reportState(CentralState::poweredOn);
        auto peripheral = clicker(firstId, name);
        central->discover(peripheral);
        central->reportConnected(*peripheral);
        EXPECT_EQ(link->connectedDeviceName.value(), shown);
    }
}

TEST_F(LinkTest, DisconnectClearsLinkAndRescansAtOnce)
{
    auto peripheral = connectClicker();
    peripheral->notify(commandOf(*peripheral), QByteArray::fromHex("0105"));
    ASSERT_EQ(link->lastSequence(), 5);
    states.clear();
    announcements = 0;
    central->calls.clear();

    central->reportDisconnected(*peripheral, PlatformError{QStringLiteral("link lost")});

    EXPECT_EQ(states, (std::vector{ConnectionState::disconnected, ConnectionState::advertising}));
    EXPECT_EQ(announcements, 3); // state, name, state
    EXPECT_EQ(link->connectedDeviceName.value(), std::nullopt);
    EXPECT_EQ(link->lastSequence(), std::nullopt);
    EXPECT_TRUE(link->hasPairedDevice.value());
    EXPECT_EQ(central->countOf(Call::scan), 1);
    EXPECT_EQ(central->countOf(Call::cancel), 0);
}

TEST_F(LinkTest, DisconnectWhilePoweredOffDoesNotScan)
{
    auto peripheral = connectClicker();
    central->reportState(CentralState::poweredOff);
    states.clear();
    central->calls.clear();
    central->reportDisconnected(*peripheral);
    EXPECT_EQ(states, std::vector{ConnectionState::disconnected});
    EXPECT_TRUE(central->calls.empty());
}

TEST_F(LinkTest, FailedConnectionRunsTheDisconnectStepsAndRescans)
{
    central->reportState(CentralState::poweredOn);
    auto peripheral = clicker();
    central->discover(peripheral);
    states.clear();
    central->calls.clear();

    central->reportFailedToConnect(*peripheral, PlatformError{QStringLiteral("timed out")});

    EXPECT_EQ(states, (std::vector{ConnectionState::disconnected, ConnectionState::advertising}));
    EXPECT_EQ(central->countOf(Call::scan), 1);
    EXPECT_FALSE(platform.defaults.stringForKey(BLECentralManager::savedUUIDKey()));
    // The peripheral was let go: a new clicker may be picked.
    auto other = clicker(secondId);
    central->discover(other);
    EXPECT_EQ(central->calls.back().peripheral, other.get());
}

TEST_F(LinkTest, PowerOffWhileConnectedKeepsNameAndSequence)
{
    auto peripheral = connectClicker();
    auto& command = commandOf(*peripheral);
    std::vector<SlideCommand> received;
    link->onCommandReceived = [&](SlideCommand c) { received.push_back(c); };
    peripheral->notify(command, QByteArray::fromHex("0107"));

    central->reportState(CentralState::poweredOff);
    EXPECT_EQ(link->connectionState.value(), ConnectionState::disconnected);
    EXPECT_EQ(link->connectedDeviceName.value(), QStringLiteral("Clicker"));
    EXPECT_EQ(link->lastSequence(), 7);

    // Back on: the same clicker reconnects without a disconnect in between, so its first packet
    // with the old sequence byte is still a repeat.
    central->reportState(CentralState::poweredOn);
    central->discover(peripheral);
    central->reportConnected(*peripheral);
    peripheral->notify(command, QByteArray::fromHex("0107"));
    peripheral->notify(command, QByteArray::fromHex("0208"));
    EXPECT_EQ(received, (std::vector{SlideCommand::nextSlide, SlideCommand::previousSlide}));
}

TEST_F(LinkTest, SecondPowerOnWhileConnectedScansAgain)
{
    connectClicker();
    states.clear();
    central->calls.clear();
    central->reportState(CentralState::poweredOn);
    EXPECT_EQ(states, std::vector{ConnectionState::advertising});
    EXPECT_EQ(central->countOf(Call::scan), 1);
}

TEST_F(LinkTest, ForgetWhileConnectedCancelsAndPublishesInOrder)
{
    auto peripheral = connectClicker();
    peripheral->notify(commandOf(*peripheral), QByteArray::fromHex("0103"));
    std::vector<std::string> order;
    auto s1 = link->hasPairedDevice.subscribe(
        [&](const bool& v) { order.push_back(v ? "paired" : "unpaired"); });
    auto s2 = link->connectedDeviceName.subscribe(
        [&](const auto& v) { order.push_back(v ? "name" : "no name"); });
    auto s3 = link->connectionState.subscribe(
        [&](const ConnectionState& s) { order.push_back(rawValue(s).toStdString()); });
    order.clear();
    central->calls.clear();

    link->forgetDevice();

    EXPECT_EQ(order, (std::vector<std::string>{"unpaired", "no name", "Disconnected", "Scanning"}));
    EXPECT_FALSE(platform.defaults.stringForKey(BLECentralManager::savedUUIDKey()));
    ASSERT_EQ(central->calls.size(), 2u);
    EXPECT_EQ(central->calls[0].call, Call::cancel);
    EXPECT_EQ(central->calls[0].peripheral, peripheral.get());
    EXPECT_EQ(central->calls[1].call, Call::scan);
    EXPECT_EQ(link->lastSequence(), std::nullopt);

    // Any clicker may now be picked; the forgotten one's late disconnect clears the new pick.
    auto other = clicker(secondId);
    central->discover(other);
    EXPECT_EQ(central->calls.back().peripheral, other.get());
    central->reportDisconnected(*peripheral);
    central->calls.clear();
    central->discover(clicker(firstId));
    EXPECT_EQ(central->countOf(Call::connect), 1);
}

TEST_F(LinkTest, ForgetWithNothingHeldIssuesNoCancel)
{
    platform.defaults.values.insert(BLECentralManager::savedUUIDKey(), firstIdText);
    for (const bool poweredOn : {true, false}) {
        makeLink();
        central->reportState(poweredOn ? CentralState::poweredOn : CentralState::poweredOff);
        states.clear();
        link->forgetDevice();
        EXPECT_EQ(central->countOf(Call::cancel), 0);
        EXPECT_FALSE(link->hasPairedDevice.value());
        const std::vector<ConnectionState> expected =
            poweredOn ? std::vector{ConnectionState::disconnected, ConnectionState::advertising}
                      : std::vector{ConnectionState::disconnected};
        EXPECT_EQ(states, expected);
    }
}

TEST_F(LinkTest, DestructionClearsTheHeldPeripheralsDelegate)
{
    auto peripheral = connectClicker();
    ASSERT_EQ(peripheral->delegate(), link.get());
    link.reset();
    EXPECT_EQ(peripheral->delegate(), nullptr);
}
