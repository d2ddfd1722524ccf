// SPDX-License-Identifier: MIT
// The macOS power watcher, which learns the radio's state from Qt's discovery errors alone, driven
// here through Qt's BlueZ backend and the scripted BlueZ.
#include "Platform/Qt/AdapterPowerWatcher.hpp"
#include "ScriptedBluez.hpp"

#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace quenlark;
using namespace quenlark::integration;
using namespace Qt::StringLiterals;
using Agent = QBluetoothDeviceDiscoveryAgent;

namespace {

TEST(CoreBluetoothPowerWatcherTest, FollowsTheRadioByProbingAndByScanErrors)
{
    const QString hci0 = u"hci0"_s;
    ScriptedBluez bluez;
    ASSERT_TRUE(bluez.start());
    EXPECT_EQ(AdapterPowerWatcher().state(), CentralState::unsupported);

    ASSERT_TRUE(bluez.addAdapter() && bluez.knob("SetPowered", {hci0, false}));
    AdapterPowerWatcher watcher;
    QSignalSpy spy(&watcher, &AdapterPowerWatcher::stateChanged);
    EXPECT_EQ(watcher.state(), CentralState::poweredOff);
    // Qt signals nothing when the radio comes back: a probe that stays silent tells it.
    ASSERT_TRUE(bluez.knob("SetPowered", {hci0, true}));
    ASSERT_TRUE(spy.wait(10000));
    EXPECT_EQ(watcher.state(), CentralState::poweredOn);

    // The link's scan tells the rest; an error that says nothing of the radio keeps what is known.
    ASSERT_TRUE(bluez.knob("SetPowered", {hci0, false}));
    const std::pair<Agent::Error, CentralState> table[] = {
        {Agent::UnknownError, CentralState::poweredOn},
        {Agent::MissingPermissionsError, CentralState::unauthorized},
        {Agent::LocationServiceTurnedOffError, CentralState::unauthorized},
        {Agent::InvalidBluetoothAdapterError, CentralState::unsupported},
        {Agent::UnsupportedDiscoveryMethod, CentralState::unsupported},
        {Agent::UnsupportedPlatformError, CentralState::unsupported},
        {Agent::PoweredOffError, CentralState::poweredOff},
    };
    for (const auto& [error, state] : table) {
        watcher.discoveryFailed(error);
        EXPECT_EQ(watcher.state(), state) << error;
    }
    ASSERT_TRUE(bluez.knob("SetPowered", {hci0, true}));
    ASSERT_TRUE(spy.wait(10000));

    QList<CentralState> signalled;
    for (const QVariantList& arguments : std::as_const(spy))
        signalled.append(arguments.at(0).value<CentralState>());
    EXPECT_EQ(signalled,
              (QList{CentralState::poweredOn, CentralState::unauthorized, CentralState::unsupported,
                     CentralState::poweredOff, CentralState::poweredOn}));
}

} // namespace
