// SPDX-License-Identifier: MIT
#include "ViewModels/CompanionViewModel.hpp"
#include "FakePlatform.hpp"
#include "Models/BLEConstants.hpp"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include <string>

using namespace quenlark;
using namespace quenlark::fakes;

namespace {

const QString savedKey = QStringLiteral("savedPeripheralUUID");
const QString savedId = QStringLiteral("00000000-0000-0000-0000-A1B2C3D4E5F6");

void runQueue()
{
    QCoreApplication::processEvents();
}

// Runs the event loop until `done` holds or `ms` pass; returns whether it held.
template <typename F> bool waitFor(F done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    return done();
}

// Counts the view model's announcements and logs what each published value receives.
struct Observer {
    explicit Observer(CompanionViewModel& vm)
    {
        QObject::connect(&vm, &CompanionViewModel::objectWillChange, &vm, [this] { ++announced; });
        subscriptions.push_back(vm.connectionState.subscribe(
            [this](const ConnectionState& s) { log.push_back(rawValue(s).toStdString()); }));
        subscriptions.push_back(vm.availableUpdateVersion.subscribe([this](const auto& v) {
            log.push_back(v ? "version " + v->toStdString() : "no version");
        }));
        subscriptions.push_back(vm.availableUpdateURL.subscribe([this](const auto& u) {
            log.push_back(u ? "url " + u->toString().toStdString() : "no url");
        }));
        log.clear();
    }
    int announced = 0;
    std::vector<std::string> log;
    std::vector<Subscription> subscriptions;
};

} // namespace

TEST(CompanionViewModelTest, MirrorsTheLinkOnlyAfterTheQueueRuns)
{
    FakePlatform platform;
    platform.accessibility.trusted = true;
    platform.defaults.values.insert(savedKey, savedId);
    CompanionViewModel vm(platform);

    EXPECT_FALSE(vm.hasPairedDevice.value());
    runQueue();
    EXPECT_TRUE(vm.hasPairedDevice.value());

    platform.central->reportState(CentralState::poweredOn);
    auto clicker = std::make_shared<FakePeripheral>(QUuid(savedId), QStringLiteral("Podium"));
    platform.central->discover(clicker);
    platform.central->reportConnected(*clicker);
    EXPECT_EQ(vm.connectionState.value(), ConnectionState::disconnected);
    runQueue();
    EXPECT_EQ(vm.connectionState.value(), ConnectionState::connected);
    EXPECT_EQ(vm.connectedDeviceName.value(), QStringLiteral("Podium"));
}

TEST(CompanionViewModelTest, ForgetHandsOnAndEveryLinkValueArrivesLaterInOrder)
{
    FakePlatform platform;
    platform.accessibility.trusted = true;
    platform.defaults.values.insert(savedKey, savedId);
    CompanionViewModel vm(platform);
    platform.central->reportState(CentralState::poweredOn);
    runQueue();
    ASSERT_EQ(vm.connectionState.value(), ConnectionState::advertising);
    Observer observer(vm);

    vm.forgetDevice();
    EXPECT_TRUE(vm.hasPairedDevice.value());
    EXPECT_EQ(vm.connectionState.value(), ConnectionState::advertising);
    EXPECT_EQ(observer.announced, 0);
    EXPECT_FALSE(platform.defaults.stringForKey(savedKey));

    runQueue();
    // Both states arrive and are announced although the first is already stale; the forget also
    // assigns the name and the paired flag once each.
    EXPECT_EQ(observer.log, (std::vector<std::string>{"Disconnected", "Scanning"}));
    EXPECT_EQ(observer.announced, 4);
    EXPECT_FALSE(vm.hasPairedDevice.value());
}

TEST(CompanionViewModelTest, CommandsReachTheKeysWhateverThePermission)
{
    FakePlatform platform;
    CompanionViewModel vm(platform);
    ASSERT_FALSE(vm.accessibilityEnabled.value());
    platform.central->reportState(CentralState::poweredOn);
    auto clicker = std::make_shared<FakePeripheral>(QUuid(savedId));
    auto& command = clicker->addClickerLayout();
    platform.central->discover(clicker);
    platform.central->reportConnected(*clicker);

    clicker->notify(command, QByteArray::fromHex("0201"));
    clicker->notify(command, QByteArray::fromHex("0102"));

    using Posted = RecordingKeyEventServices::Posted;
    EXPECT_EQ(platform.keys.posted,
              (std::vector<Posted>{
                  {0, 1, 123, true}, {0, 1, 123, false}, {0, 2, 124, true}, {0, 2, 124, false}}));
}

TEST(CompanionViewModelTest, StartUpPromptsOnceOnlyWhenUntrusted)
{
    for (const bool trusted : {true, false}) {
        FakePlatform platform;
        platform.accessibility.trusted = trusted;
        CompanionViewModel vm(platform);
        EXPECT_EQ(vm.accessibilityEnabled.value(), trusted);
        EXPECT_EQ(platform.accessibility.prompts, trusted ? 0 : 1);
        EXPECT_EQ(platform.accessibility.silentQueries, 1);
    }
}

TEST(CompanionViewModelTest, PollAnnouncesEveryTwoSecondsAndFollowsGrantAndRevoke)
{
    FakePlatform platform;
    QElapsedTimer clock;
    clock.start();
    CompanionViewModel vm(platform);
    std::vector<std::pair<qint64, bool>> ticks;
    auto subscription = vm.accessibilityEnabled.subscribe(
        [&](const bool& v) { ticks.emplace_back(clock.elapsed(), v); });
    ticks.clear();

    // The n-th tick never comes before n intervals have passed since construction.
    ASSERT_TRUE(waitFor([&] { return ticks.size() == 1; }, 5000));
    EXPECT_GE(ticks[0].first, 2000);
    EXPECT_FALSE(ticks[0].second); // unchanged, still announced

    platform.accessibility.trusted = true;
    ASSERT_TRUE(waitFor([&] { return ticks.size() == 2; }, 5000));
    EXPECT_TRUE(ticks[1].second);
    EXPECT_GE(ticks[1].first, 4000);
    platform.accessibility.trusted = false;
    ASSERT_TRUE(waitFor([&] { return ticks.size() == 3; }, 5000));
    EXPECT_FALSE(ticks[2].second);
    EXPECT_GE(ticks[2].first, 6000);
    EXPECT_EQ(platform.accessibility.prompts, 1);
}

TEST(CompanionViewModelTest, UpdateOfferAssignsVersionThenAddress)
{
    FakePlatform platform;
    platform.accessibility.trusted = true;
    CompanionViewModel vm(platform);
    ASSERT_EQ(platform.http.requests.size(), 1);
    runQueue();
    Observer observer(vm);

    platform.http.answerFromOtherThread(
        QByteArray(R"({"version":"2.0","mac_url":"https://example.org/get"})"));
    ASSERT_TRUE(waitFor([&] { return observer.log.size() == 2; }, 2000));
    EXPECT_EQ(observer.log,
              (std::vector<std::string>{"version 2.0", "url https://example.org/get"}));
    EXPECT_EQ(observer.announced, 2);
}

TEST(CompanionViewModelTest, UpdateArrivingAfterTheViewModelIsGoneChangesNothing)
{
    FakePlatform platform;
    auto vm = std::make_unique<CompanionViewModel>(platform);
    vm.reset();
    platform.http.answerFromOtherThread(
        QByteArray(R"({"version":"9.0","mac_url":"https://example.org/get"})"));
    // The queued callback runs and must find no view model.
    bool ran = false;
    QTimer::singleShot(0, [&] { ran = true; });
    EXPECT_TRUE(waitFor([&] { return ran; }, 2000));
}
