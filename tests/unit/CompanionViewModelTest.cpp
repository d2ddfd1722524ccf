// SPDX-License-Identifier: MIT
#include "ViewModels/CompanionViewModel.hpp"
#include "BuildConfig.hpp"
#include "FakePlatform.hpp"

#include <QElapsedTimer>
#include <QTest>

#include <gtest/gtest.h>

using namespace quenlark;
using namespace quenlark::fakes;
using namespace Qt::StringLiterals;

// The link's values reach the view model only once the main queue runs. Commands become arrow
// keys at once, whatever the input permission. Untrusted at start: one prompt, then a silent
// query every two seconds, never earlier. The update offer arrives from the client's thread with
// the address last, so whoever sees it finds the version already in place.
TEST(CompanionViewModelTest, MirrorsTheLinkPostsArrowKeysPollsThePermissionAndOffersUpdates)
{
    const QString savedId = u"00000000-0000-0000-0000-A1B2C3D4E5F6"_s;
    FakePlatform platform;
    platform.defaults.values.insert(u"savedPeripheralUUID"_s, savedId);
    QElapsedTimer clock;
    clock.start();
    CompanionViewModel vm(platform);
    EXPECT_EQ(platform.accessibility.prompts, 1);
    EXPECT_FALSE(vm.hasPairedDevice.value());
    QCoreApplication::processEvents();
    EXPECT_TRUE(vm.hasPairedDevice.value());

    platform.central->reportState(CentralState::poweredOn);
    auto clicker = std::make_shared<FakePeripheral>(QUuid(savedId));
    auto& command = clicker->addClickerLayout();
    platform.central->discover(clicker);
    platform.central->reportConnected(*clicker);
    clicker->notify(command, QByteArray::fromHex("0201"));
    clicker->notify(command, QByteArray::fromHex("0102"));
    QCoreApplication::processEvents();
    EXPECT_EQ(vm.connectionState.value(), ConnectionState::connected);

    // Previous is Left Arrow (123), next Right Arrow (124): down, then up.
    EXPECT_FALSE(vm.accessibilityEnabled.value());
    using Posted = RecordingKeyEventServices::Posted;
    EXPECT_EQ(platform.keys.posted,
              (std::vector<Posted>{{123, true}, {123, false}, {124, true}, {124, false}}));

    std::optional<QString> versionWithAddress;
    auto subscription = vm.availableUpdateURL.subscribe([&](const std::optional<QUrl>& url) {
        if (url)
            versionWithAddress = vm.availableUpdateVersion.value().value_or(u"none"_s);
    });
    platform.http.answerFromOtherThread(
        QByteArray(R"({"version":"2.0","mac_url":"https://)" QUENLARK_SITE_HOST R"(/get"})"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return versionWithAddress.has_value(); }, 2000));
    EXPECT_EQ(versionWithAddress, u"2.0"_s);
    EXPECT_EQ(vm.availableUpdateURL.value(), QUrl(u"https://" QUENLARK_SITE_HOST "/get"_s));

    platform.accessibility.trusted = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return vm.accessibilityEnabled.value(); }, 5000));
    EXPECT_GE(clock.elapsed(), 2000);
    EXPECT_EQ(platform.accessibility.prompts, 1);
}
