// SPDX-License-Identifier: MIT
#include "Core/BLECentralManager.hpp"
#include "FakePlatform.hpp"
#include "RowName.hpp"

#include <gtest/gtest.h>

using namespace quenlark;
using namespace quenlark::fakes;
using namespace Qt::StringLiterals;
using Call = FakeCentral::Call;
using SC = SlideCommand;
using quenlark::testing_support::RowName;

namespace {

// The settings key and identifier text that stored files keep.
const QString savedKey = u"savedPeripheralUUID"_s;
const QUuid clickerId(u"00000000-0000-0000-0000-a1b2c3d4e5f6"_s);
const QString clickerIdText = u"00000000-0000-0000-0000-A1B2C3D4E5F6"_s;

class LinkTest : public testing::Test {
protected:
    LinkTest() { makeLink(); }

    // A new link on a powered radio.
    void makeLink()
    {
        link = std::make_unique<BLECentralManager>(platform);
        link->onCommandReceived = [this](SC command) { received.push_back(command); };
        central = platform.central;
        central->reportState(CentralState::poweredOn);
    }

    // A clicker that subscribes as soon as it is connected.
    static std::shared_ptr<FakePeripheral> clicker(QUuid id = clickerId,
                                                   std::optional<QString> name = u"Clicker"_s)
    {
        auto peripheral = std::make_shared<FakePeripheral>(id, std::move(name));
        peripheral->answersAtOnce = true;
        peripheral->addClickerLayout();
        return peripheral;
    }

    void connect(const std::shared_ptr<FakePeripheral>& peripheral)
    {
        central->discover(peripheral);
        central->reportConnected(*peripheral);
    }

    // Sends the packets (null: no value) on the subscribed characteristic; returns the commands
    // delivered since the last call.
    std::vector<SC> send(FakePeripheral& peripheral, std::vector<const char*> packets)
    {
        auto* command =
            static_cast<FakeCharacteristic*>(peripheral.setNotifyValueCalls.back().second);
        for (const char* hex : packets)
            peripheral.notify(*command,
                              hex ? std::optional(QByteArray::fromHex(hex)) : std::nullopt);
        return std::exchange(received, {});
    }

    FakePlatform platform;
    std::unique_ptr<BLECentralManager> link;
    FakeCentral* central = nullptr;
    std::vector<SC> received;
};

} // namespace

enum Picked { none, other, remembered };
struct ScanRow {
    const char* name;
    std::optional<QString> stored;
    Picked picked;
};
const ScanRow scanRows[] = {{"NothingRemembered", std::nullopt, other},
                            {"RememberedByItsExactText", clickerIdText, remembered},
                            {"LowerCaseTextIsAnotherText", clickerIdText.toLower(), none}};

class ScanTest : public LinkTest, public testing::WithParamInterface<ScanRow> {};

TEST_P(ScanTest, ScansForTheServiceAndPicksAnyClickerOrOnlyTheRememberedOne)
{
    const auto& [name, stored, picked] = GetParam();
    if (stored)
        platform.defaults.values.insert(savedKey, *stored);
    makeLink();
    EXPECT_EQ(link->hasPairedDevice.value(), stored.has_value());
    // The adapter may wait for the remembered clicker alone, never for one the link ignores.
    EXPECT_EQ(central->remembered, picked == remembered ? std::optional(clickerId) : std::nullopt);
    const auto& calls = central->calls;
    EXPECT_EQ(calls[0].services, QList{BLEConstants::serviceUUID()});
    EXPECT_FALSE(calls[0].allowDuplicates);

    // Another clicker turns up first; while the scan goes on, the remembered one follows.
    central->discover(clicker(QUuid::createUuid()));
    if (calls.size() == 1)
        central->discover(clicker());
    ASSERT_EQ(calls.size(), picked == none ? 1u : 3u);
    if (picked != none) {
        EXPECT_EQ(calls[1].call, Call::stopScan);
        EXPECT_EQ(calls[2].call, Call::connect);
        EXPECT_EQ(calls[2].peripheral->identifier() == clickerId, picked == remembered);
    }
}
INSTANTIATE_TEST_SUITE_P(Rows, ScanTest, testing::ValuesIn(scanRows), RowName());

// A clicker connects and is remembered. A power change keeps its name and last sequence byte; a
// disconnect, a failed attempt or forgetting ends the link: no name, fresh sequence, new scan.
TEST_F(LinkTest, ConnectsThenEndingsStartOverButAPowerChangeDoesNot)
{
    std::vector<std::string> log;
    auto paired = link->hasPairedDevice.subscribe(
        [&](const bool& v) { log.push_back(v ? "paired" : "not paired"); });
    auto state = link->connectionState.subscribe(
        [&](const ConnectionState& s) { log.push_back(rawValue(s).toStdString()); });
    auto name = link->connectedDeviceName.subscribe(
        [&](const auto& n) { log.push_back(n.value_or(u"no name"_s).toStdString()); });
    log.clear();
    // A clicker without a name is shown under the program's.
    auto peripheral = clicker(clickerId, std::nullopt);
    connect(peripheral);
    EXPECT_EQ(log, (std::vector<std::string>{"paired", "Connected", "Quenlark"}));
    EXPECT_EQ(platform.defaults.stringForKey(savedKey), clickerIdText);
    EXPECT_EQ(central->remembered, clickerId);
    ASSERT_EQ(send(*peripheral, {"0105"}), std::vector{SC::nextSlide});

    central->reportState(CentralState::poweredOff);
    EXPECT_EQ(rawValue(link->connectionState.value()), u"Disconnected"_s);
    EXPECT_EQ(link->connectedDeviceName.value(), u"Quenlark"_s);
    central->reportState(CentralState::poweredOn);
    connect(peripheral);
    EXPECT_EQ(send(*peripheral, {"0105"}), std::vector<SC>{});

    link->centralManagerDidDisconnectPeripheral(*central, *peripheral, PlatformError{});
    EXPECT_EQ(link->connectedDeviceName.value(), std::nullopt);
    central->discover(peripheral);
    link->centralManagerDidFailToConnectPeripheral(*central, *peripheral, PlatformError{});
    EXPECT_EQ(central->calls.back().call, Call::scan);
    connect(peripheral);
    EXPECT_EQ(send(*peripheral, {"0105"}), std::vector{SC::nextSlide});

    link->forgetDevice();
    EXPECT_EQ(central->calls.end()[-2].call, Call::cancel) << "cancelled, then a new scan";
    EXPECT_FALSE(platform.defaults.stringForKey(savedKey));
    EXPECT_EQ(central->remembered, std::nullopt);
    connect(peripheral);
    EXPECT_EQ(send(*peripheral, {"0105"}), std::vector{SC::nextSlide});

    link.reset();
    EXPECT_EQ(peripheral->delegate(), nullptr);
}

// Each row: packets on a fresh connection, and the commands they deliver. The connection also
// sees a notification of another characteristic first, which is no packet.
struct PacketRow {
    const char* name;
    std::vector<const char*> packets;
    std::vector<SC> delivered;
};
const PacketRow packetRows[] = {
    {"RepeatDroppedLowerOneNew", {"0105", "0105", "0204"}, {SC::nextSlide, SC::previousSlide}},
    {"RepeatByEqualityOnly",
     {"01ff", "0100", "01ff"},
     {SC::nextSlide, SC::nextSlide, SC::nextSlide}},
    {"ShortNoneExtraBytes",
     {"0105", "01", nullptr, "0105", "0207ff00"},
     {SC::nextSlide, SC::previousSlide}},
    {"UnknownCommandUsesUpItsSequence", {"0306", "0106", "0007", "0107"}, {}},
};

class PacketTest : public LinkTest, public testing::WithParamInterface<PacketRow> {};

TEST_P(PacketTest, Rules)
{
    auto peripheral = clicker();
    connect(peripheral);
    FakeCharacteristic other(QUuid::createUuid());
    peripheral->notify(other, QByteArray::fromHex("0209"));
    EXPECT_EQ(send(*peripheral, GetParam().packets), GetParam().delivered);
}
INSTANTIATE_TEST_SUITE_P(Rows, PacketTest, testing::ValuesIn(packetRows), RowName());
