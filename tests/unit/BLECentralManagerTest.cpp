// SPDX-License-Identifier: MIT
#include "Core/BLECentralManager.hpp"
#include "FakePlatform.hpp"
#include "Models/BLEConstants.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

using namespace quenlark;
using namespace quenlark::fakes;
using Call = FakeCentral::Call;
using SC = SlideCommand;

namespace {

// The settings key and text form other versions of the program read back.
const QString savedKey = QStringLiteral("savedPeripheralUUID");
const QUuid firstId(QStringLiteral("00000000-0000-0000-0000-a1b2c3d4e5f6"));
const QUuid secondId(QStringLiteral("00000000-0000-0000-0000-0000000000b2"));
const QString firstIdText = QStringLiteral("00000000-0000-0000-0000-A1B2C3D4E5F6");

class LinkTest : public testing::Test {
protected:
    void SetUp() override { makeLink(); }

    void makeLink()
    {
        subscriptions.clear();
        link = std::make_unique<BLECentralManager>(platform);
        central = platform.central;
        link->onCommandReceived = [this](SC c) { received.push_back(c); };
        subscriptions.push_back(link->connectionState.subscribe(
            [this](const ConnectionState& s) { states.push_back(s); }));
        states.clear();
    }

    std::shared_ptr<FakePeripheral> clicker(QUuid id = firstId,
                                            std::optional<QString> name = QStringLiteral("Clicker"))
    {
        auto peripheral = std::make_shared<FakePeripheral>(id, std::move(name));
        peripheral->addClickerLayout();
        return peripherals.emplace_back(std::move(peripheral));
    }

    void connect(const std::shared_ptr<FakePeripheral>& peripheral)
    {
        central->discover(peripheral);
        central->reportConnected(*peripheral);
    }

    // Power on, discover and connect one clicker.
    std::shared_ptr<FakePeripheral> connectedClicker(QUuid id = firstId)
    {
        central->reportState(CentralState::poweredOn);
        auto peripheral = clicker(id);
        connect(peripheral);
        return peripheral;
    }

    static FakeCharacteristic& commandOf(FakePeripheral& peripheral)
    {
        return *static_cast<FakeCharacteristic*>(
            peripheral.services()->at(0)->characteristics()->at(0));
    }

    // Sends the packets and returns what they delivered.
    std::vector<SC> send(FakePeripheral& peripheral, std::initializer_list<const char*> packets)
    {
        received.clear();
        for (const char* hex : packets)
            peripheral.notify(commandOf(peripheral), QByteArray::fromHex(hex));
        return std::exchange(received, {});
    }

    // Runs `action` and returns what it wrote on standard output.
    template <typename F> static std::string output(F action)
    {
        testing::internal::CaptureStdout();
        action();
        return testing::internal::GetCapturedStdout();
    }

    // Peripherals are declared before the link so that they outlive it.
    std::vector<std::shared_ptr<FakePeripheral>> peripherals;
    FakePlatform platform;
    std::unique_ptr<BLECentralManager> link;
    FakeCentral* central = nullptr;
    std::vector<ConnectionState> states;
    std::vector<SC> received;
    std::vector<Subscription> subscriptions;
};

const PlatformError failure{QStringLiteral("Operation failed ü")};

} // namespace

TEST_F(LinkTest, OnlyPowerOnStartsAScan)
{
    for (int raw = 0; raw <= static_cast<int>(CentralState::poweredOn); ++raw) {
        const auto state = static_cast<CentralState>(raw);
        const bool scans = state == CentralState::poweredOn;
        makeLink();
        central->reportState(state);
        EXPECT_EQ(states,
                  std::vector{scans ? ConnectionState::advertising : ConnectionState::disconnected})
            << raw;
        EXPECT_EQ(central->countOf(Call::scan), scans ? 1 : 0);
    }
}

TEST_F(LinkTest, PicksAnyClickerOrOnlyTheRememberedOneByExactText)
{
    // Stored text, then whether the second and the first clicker get picked.
    const std::tuple<std::optional<QString>, bool, bool> table[] = {
        {std::nullopt, true, false},
        {firstIdText, false, true},
        {firstIdText.toLower(), false, false},
        {QStringLiteral("{") + firstIdText + QStringLiteral("}"), false, false},
    };
    for (const auto& [stored, second, first] : table) {
        if (stored)
            platform.defaults.values.insert(savedKey, *stored);
        makeLink();
        central->reportState(CentralState::poweredOn);
        central->calls.clear();
        auto other = clicker(secondId);
        central->discover(other);
        if (central->calls.empty())
            central->discover(clicker(firstId));
        ASSERT_EQ(central->calls.size(), second || first ? 2u : 0u)
            << stored.value_or(QStringLiteral("none")).toStdString();
        if (second || first) {
            EXPECT_EQ(central->calls[0].call, Call::stopScan);
            EXPECT_EQ(central->calls[1].peripheral,
                      second ? other.get() : peripherals.back().get());
        }
    }
}

TEST_F(LinkTest, ConnectionStoresTheIdentifierInUpperCaseAndPublishesInOrder)
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
    EXPECT_EQ(platform.defaults.stringForKey(savedKey), firstIdText);
    EXPECT_EQ(link->connectionState.value(), ConnectionState::connected);
}

TEST_F(LinkTest, UnnamedClickerIsShownAsQuenlarkAndAnEmptyNameIsKept)
{
    const std::pair<std::optional<QString>, QString> table[] = {
        {std::nullopt, QStringLiteral("Quenlark")},
        {QString(), QString()},
        {QStringLiteral("R400"), QStringLiteral("R400")},
    };
    for (const auto& [name, shown] : table) {
        makeLink();
        central->reportState(CentralState::poweredOn);
        connect(clicker(firstId, name));
        EXPECT_EQ(link->connectedDeviceName.value(), shown);
    }
}

// A disconnect or failed attempt ends the link: no name, a fresh sequence, a new scan.
TEST_F(LinkTest, DisconnectOrFailedConnectionEndsTheLinkAndRescans)
{
    for (const bool connected : {true, false}) {
        platform.defaults.values.clear();
        makeLink();
        auto peripheral = clicker();
        central->reportState(CentralState::poweredOn);
        central->discover(peripheral);
        if (connected) {
            central->reportConnected(*peripheral);
            ASSERT_EQ(send(*peripheral, {"0105"}), std::vector{SC::nextSlide});
        }
        states.clear();
        central->calls.clear();
        if (connected)
            central->reportDisconnected(*peripheral, failure);
        else
            central->reportFailedToConnect(*peripheral, failure);

        EXPECT_EQ(states,
                  (std::vector{ConnectionState::disconnected, ConnectionState::advertising}));
        EXPECT_EQ(link->connectedDeviceName.value(), std::nullopt);
        EXPECT_EQ(link->hasPairedDevice.value(), connected);
        ASSERT_EQ(central->calls.size(), 1u);
        EXPECT_EQ(central->calls[0].call, Call::scan);
        // The same packet on the next connection is new.
        connect(peripheral);
        EXPECT_EQ(send(*peripheral, {"0105"}), std::vector{SC::nextSlide}) << connected;
    }
}

TEST_F(LinkTest, PowerOffWhileConnectedKeepsTheNameAndTheSequence)
{
    auto peripheral = connectedClicker();
    send(*peripheral, {"0107"});
    central->reportState(CentralState::poweredOff);
    EXPECT_EQ(link->connectionState.value(), ConnectionState::disconnected);
    EXPECT_EQ(link->connectedDeviceName.value(), QStringLiteral("Clicker"));

    // Back on, the same clicker reconnects without a disconnect in between: its first packet with
    // the old sequence byte is still a repeat.
    central->reportState(CentralState::poweredOn);
    EXPECT_EQ(central->countOf(Call::scan), 2);
    connect(peripheral);
    EXPECT_EQ(send(*peripheral, {"0107", "0208"}), std::vector{SC::previousSlide});
}

TEST_F(LinkTest, ForgetCancelsThenPublishesInOrderAndAnyClickerMayBePicked)
{
    auto peripheral = connectedClicker();
    send(*peripheral, {"0103"});
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
    EXPECT_FALSE(platform.defaults.stringForKey(savedKey));
    ASSERT_EQ(central->calls.size(), 2u);
    EXPECT_EQ(central->calls[0].call, Call::cancel);
    EXPECT_EQ(central->calls[0].peripheral, peripheral.get());
    EXPECT_EQ(central->calls[1].call, Call::scan);

    // The forgotten clicker's old packet is new once it is connected again.
    connect(peripheral);
    EXPECT_EQ(send(*peripheral, {"0103"}), std::vector{SC::nextSlide});
}

TEST_F(LinkTest, MissingPartsAndReportedErrorsWriteTheirLineAndKeepTheLink)
{
    central->reportState(CentralState::poweredOn);
    const struct {
        std::function<void(FakePeripheral&)> act;
        std::string line;
    } table[] = {
        {[](FakePeripheral& p) {
             p.addService(BLEConstants::characteristicUUID());
             p.reportServices();
         },
         "[BLE] Quenlark service not found on peripheral\n"},
        {[](FakePeripheral& p) {
             auto& service = p.addService(BLEConstants::serviceUUID());
             service.addCharacteristic(QUuid::createUuid());
             p.reportServices();
             p.reportCharacteristics(service);
         },
         "[BLE] Quenlark characteristic not found\n"},
        {[](FakePeripheral& p) {
             p.addClickerLayout();
             p.reportServices(failure);
         },
         "[BLE] Service discovery failed: Operation failed ü\n"},
        {[](FakePeripheral& p) {
             p.addClickerLayout();
             p.reportCharacteristics(*p.services()->at(0), failure);
         },
         "[BLE] Characteristic discovery failed: Operation failed ü\n"},
        {[](FakePeripheral& p) {
             p.notify(p.addClickerLayout(), QByteArray::fromHex("0105"), failure);
         },
         "[BLE] Value update failed: Operation failed ü\n"},
    };
    for (const auto& row : table) {
        auto peripheral = std::make_shared<FakePeripheral>(QUuid::createUuid());
        connect(peripheral);
        received.clear();
        EXPECT_EQ(output([&] { row.act(*peripheral); }), row.line);
        EXPECT_TRUE(peripheral->setNotifyValueCalls.empty()) << row.line;
        EXPECT_TRUE(received.empty()) << row.line;
        EXPECT_EQ(link->connectionState.value(), ConnectionState::connected) << row.line;
        link->forgetDevice();
    }
}

// Each row is a sequence of packets on a fresh connection and what they deliver.
TEST_F(LinkTest, PacketRules)
{
    const struct {
        const char* name;
        std::initializer_list<const char*> packets;
        std::vector<SC> delivered;
    } table[] = {
        {"new then repeat", {"0105", "0105"}, {SC::nextSlide}},
        {"lower sequence is new", {"0105", "0204"}, {SC::nextSlide, SC::previousSlide}},
        {"wrap needs no arithmetic", {"01ff", "0100"}, {SC::nextSlide, SC::nextSlide}},
        {"too short", {"01", "", "0100"}, {SC::nextSlide}},
        {"short keeps last", {"0105", "01", "0105"}, {SC::nextSlide}},
        {"unknown command uses up sequence", {"0306", "0106", "0107"}, {SC::nextSlide}},
        {"zero command", {"0009", "0109"}, {}},
        {"extra bytes ignored", {"0207ff00"}, {SC::previousSlide}},
        {"repeat by equality only",
         {"0101", "0102", "0101"},
         {SC::nextSlide, SC::nextSlide, SC::nextSlide}},
    };
    central->reportState(CentralState::poweredOn);
    for (const auto& row : table) {
        auto peripheral = clicker(QUuid::createUuid());
        connect(peripheral);
        EXPECT_EQ(send(*peripheral, row.packets), row.delivered) << row.name;
        link->forgetDevice();
    }
    // Neither a notification without a value nor one of another characteristic is a packet.
    auto peripheral = clicker();
    auto& other = static_cast<FakeService*>(peripheral->services()->at(0))
                      ->addCharacteristic(QUuid::createUuid());
    connect(peripheral);
    received.clear();
    peripheral->notify(other, QByteArray::fromHex("0105"));
    peripheral->notify(commandOf(*peripheral), std::nullopt);
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(send(*peripheral, {"0105"}), std::vector{SC::nextSlide});
}
