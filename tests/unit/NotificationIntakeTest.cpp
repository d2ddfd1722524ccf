// SPDX-License-Identifier: MIT
#include "Core/BLECentralManager.hpp"
#include "FakePlatform.hpp"
#include "Models/BLEConstants.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace quenlark;
using namespace quenlark::fakes;

namespace {

class IntakeTest : public testing::Test {
protected:
    void SetUp() override
    {
        link.onCommandReceived = [this](SlideCommand c) { received.push_back(c); };
        platform.central->reportState(CentralState::poweredOn);
    }

    // Peripherals are owned here, declared before the link so that they outlive it.
    FakePeripheral& newPeripheral()
    {
        return *peripherals.emplace_back(std::make_shared<FakePeripheral>(QUuid::createUuid()));
    }

    void connect(FakePeripheral& peripheral)
    {
        for (const auto& held : peripherals) {
            if (held.get() == &peripheral)
                platform.central->discover(held);
        }
        platform.central->reportConnected(peripheral);
    }

    // Runs `action` and returns what it wrote on standard output.
    template <typename F> static std::string output(F action)
    {
        testing::internal::CaptureStdout();
        action();
        return testing::internal::GetCapturedStdout();
    }

    FakePlatform platform;
    std::vector<std::shared_ptr<FakePeripheral>> peripherals;
    BLECentralManager link{platform};
    std::vector<SlideCommand> received;
};

const PlatformError failure{QStringLiteral("Operation failed ü")};

} // namespace

TEST_F(IntakeTest, ConnectionRunsTheWholeChainWithoutFurtherInput)
{
    auto& peripheral = newPeripheral();
    peripheral.answersAtOnce = true;
    peripheral.addService(QUuid::createUuid())
        .addCharacteristic(BLEConstants::characteristicUUID());
    auto& clickerService = peripheral.addService(BLEConstants::serviceUUID());
    clickerService.addCharacteristic(QUuid::createUuid());
    auto& command = clickerService.addCharacteristic(BLEConstants::characteristicUUID());
    peripheral.addService(BLEConstants::serviceUUID()); // a second match is never looked at

    const std::string written = output([&] { connect(peripheral); });

    EXPECT_EQ(written, "");
    ASSERT_EQ(peripheral.discoverCharacteristicsCalls.size(), 1u);
    EXPECT_EQ(peripheral.discoverCharacteristicsCalls[0].first,
              QList<QUuid>{BLEConstants::characteristicUUID()});
    EXPECT_EQ(peripheral.discoverCharacteristicsCalls[0].second, &clickerService);
    ASSERT_EQ(peripheral.setNotifyValueCalls.size(), 1u);
    EXPECT_EQ(peripheral.setNotifyValueCalls[0],
              std::make_pair(true, static_cast<Characteristic*>(&command)));

    peripheral.notify(command, QByteArray::fromHex("0100"));
    EXPECT_EQ(received, std::vector{SlideCommand::nextSlide});
}

TEST_F(IntakeTest, MissingServiceOrCharacteristicWritesItsLineAndStaysConnected)
{
    const struct {
        const char* name;
        std::function<void(FakePeripheral&)> layout;
        std::string line;
    } table[] = {
        {"services absent", [](FakePeripheral&) {},
         "[BLE] Quenlark service not found on peripheral\n"},
        {"services empty", [](FakePeripheral& p) { p.setEmptyServices(); },
         "[BLE] Quenlark service not found on peripheral\n"},
        {"other service only",
         [](FakePeripheral& p) { p.addService(BLEConstants::characteristicUUID()); },
         "[BLE] Quenlark service not found on peripheral\n"},
        {"characteristics absent",
         [](FakePeripheral& p) { p.addService(BLEConstants::serviceUUID()); },
         "[BLE] Quenlark characteristic not found\n"},
        {"characteristics empty",
         [](FakePeripheral& p) {
             p.addService(BLEConstants::serviceUUID()).setEmptyCharacteristics();
         },
         "[BLE] Quenlark characteristic not found\n"},
        {"other characteristic only",
         [](FakePeripheral& p) {
             p.addService(BLEConstants::serviceUUID())
                 .addCharacteristic(BLEConstants::serviceUUID());
         },
         "[BLE] Quenlark characteristic not found\n"},
    };
    for (const auto& row : table) {
        auto& peripheral = newPeripheral();
        peripheral.answersAtOnce = true;
        row.layout(peripheral);
        EXPECT_EQ(output([&] { connect(peripheral); }), row.line) << row.name;
        EXPECT_TRUE(peripheral.setNotifyValueCalls.empty()) << row.name;
        EXPECT_EQ(link.connectionState.value(), ConnectionState::connected) << row.name;
        link.forgetDevice();
    }
}

TEST_F(IntakeTest, ReportedErrorsWriteTheirLineAndChangeNothing)
{
    auto& peripheral = newPeripheral();
    auto& command = peripheral.addClickerLayout();
    connect(peripheral);
    auto& service = *peripheral.services()->at(0);
    peripheral.notify(command, QByteArray::fromHex("0104"));
    received.clear();

    EXPECT_EQ(output([&] { peripheral.reportServices(failure); }),
              "[BLE] Service discovery failed: Operation failed ü\n");
    EXPECT_EQ(output([&] { peripheral.reportCharacteristics(service, failure); }),
              "[BLE] Characteristic discovery failed: Operation failed ü\n");
    EXPECT_EQ(output([&] { peripheral.notify(command, QByteArray::fromHex("0105"), failure); }),
              "[BLE] Value update failed: Operation failed ü\n");
    EXPECT_TRUE(peripheral.discoverCharacteristicsCalls.empty());
    EXPECT_TRUE(peripheral.setNotifyValueCalls.empty());
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(link.lastSequence(), 4);
    EXPECT_EQ(link.connectionState.value(), ConnectionState::connected);
}

// Each row is a sequence of packets on a fresh link and what they deliver.
TEST_F(IntakeTest, PacketRules)
{
    using SC = SlideCommand;
    const struct {
        const char* name;
        std::vector<const char*> packets;
        std::vector<SC> delivered;
        std::optional<std::uint8_t> last;
    } table[] = {
        {"new then repeat", {"0105", "0105"}, {SC::nextSlide}, 5},
        {"lower sequence is new", {"0105", "0204"}, {SC::nextSlide, SC::previousSlide}, 4},
        {"wrap needs no arithmetic", {"01ff", "0100"}, {SC::nextSlide, SC::nextSlide}, 0},
        {"too short", {"01", ""}, {}, std::nullopt},
        {"short keeps last", {"0105", "01", "0105"}, {SC::nextSlide}, 5},
        {"unknown command uses up sequence", {"0306", "0106", "0107"}, {SC::nextSlide}, 7},
        {"zero command", {"0009"}, {}, 9},
        {"extra bytes ignored", {"0207ff00"}, {SC::previousSlide}, 7},
        {"repeat by equality only",
         {"0101", "0102", "0101"},
         {SC::nextSlide, SC::nextSlide, SC::nextSlide},
         1},
    };
    for (const auto& row : table) {
        auto& peripheral = newPeripheral();
        auto& command = peripheral.addClickerLayout();
        connect(peripheral);
        received.clear();
        for (const char* hex : row.packets)
            peripheral.notify(command, QByteArray::fromHex(hex));
        EXPECT_EQ(received, row.delivered) << row.name;
        EXPECT_EQ(link.lastSequence(), row.last) << row.name;
        link.forgetDevice();
    }
}

TEST_F(IntakeTest, OtherCharacteristicOrMissingValueIsIgnoredSilently)
{
    auto& peripheral = newPeripheral();
    auto& service = peripheral.addService(BLEConstants::serviceUUID());
    auto& command = service.addCharacteristic(BLEConstants::characteristicUUID());
    auto& other = service.addCharacteristic(QUuid::createUuid());
    connect(peripheral);

    const std::string written = output([&] {
        peripheral.notify(other, QByteArray::fromHex("0105"));
        peripheral.notify(command, std::nullopt);
    });
    EXPECT_EQ(written, "");
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(link.lastSequence(), std::nullopt);
}

TEST_F(IntakeTest, CommandWithoutHandlerStillUsesUpTheSequence)
{
    link.onCommandReceived = nullptr;
    auto& peripheral = newPeripheral();
    auto& command = peripheral.addClickerLayout();
    connect(peripheral);
    peripheral.notify(command, QByteArray::fromHex("0105"));
    link.onCommandReceived = [this](SlideCommand c) { received.push_back(c); };
    peripheral.notify(command, QByteArray::fromHex("0105"));
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(link.lastSequence(), 5);
}

TEST_F(IntakeTest, SamePacketBeforeAndAfterReconnectBothDeliver)
{
    auto& peripheral = newPeripheral();
    auto& command = peripheral.addClickerLayout();
    connect(peripheral);
    peripheral.notify(command, QByteArray::fromHex("0209"));
    platform.central->reportDisconnected(peripheral);
    connect(peripheral);
    peripheral.notify(command, QByteArray::fromHex("0209"));
    EXPECT_EQ(received, (std::vector{SlideCommand::previousSlide, SlideCommand::previousSlide}));
}
