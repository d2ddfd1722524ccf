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

const QString hci0 = u"hci0"_s;

QList<CentralState> signalled(const QSignalSpy& spy)
{
    QList<CentralState> states;
    for (const QVariantList& arguments : spy)
        states.append(arguments.at(0).value<CentralState>());
    return states;
}

TEST(CoreBluetoothPowerWatcherTest, FollowsTheRadioByProbing)
{
    ScriptedBluez bluez;
    ASSERT_TRUE(bluez.start());
    EXPECT_EQ(AdapterPowerWatcher().state(), CentralState::unsupported);

    ASSERT_TRUE(bluez.addAdapter() && bluez.knob("SetPowered", {hci0, false}));
    AdapterPowerWatcher watcher;
    QSignalSpy spy(&watcher, &AdapterPowerWatcher::stateChanged);
    EXPECT_EQ(watcher.state(), CentralState::poweredOff);

    // Qt signals nothing when the radio comes back: the probing notices it.
    ASSERT_TRUE(bluez.knob("SetPowered", {hci0, true}));
    ASSERT_TRUE(spy.wait(10000));
    // The radio goes during the link's scan, which tells of it, and comes back.
    ASSERT_TRUE(bluez.knob("SetPowered", {hci0, false}));
    watcher.discoveryFailed(Agent::PoweredOffError);
    ASSERT_TRUE(bluez.knob("SetPowered", {hci0, true}));
    ASSERT_TRUE(spy.wait(10000));
    EXPECT_EQ(signalled(spy),
              (QList{CentralState::poweredOn, CentralState::poweredOff, CentralState::poweredOn}));
}

TEST(CoreBluetoothPowerWatcherTest, TellsTheStateFromEachError)
{
    ScriptedBluez bluez;
    ASSERT_TRUE(bluez.start() && bluez.addAdapter());
    AdapterPowerWatcher watcher;
    // On is told by a probe that stays silent for a while.
    EXPECT_EQ(watcher.state(), CentralState::unknown);
    QSignalSpy spy(&watcher, &AdapterPowerWatcher::stateChanged);
    ASSERT_TRUE(spy.wait(10000));
    ASSERT_EQ(watcher.state(), CentralState::poweredOn);

    // An error that says nothing of the radio keeps what is known.
    const std::pair<Agent::Error, CentralState> table[] = {
        {Agent::UnknownError, CentralState::poweredOn},
        {Agent::MissingPermissionsError, CentralState::unauthorized},
        {Agent::LocationServiceTurnedOffError, CentralState::unauthorized},
        {Agent::PoweredOffError, CentralState::poweredOff},
        {Agent::InvalidBluetoothAdapterError, CentralState::unsupported},
        {Agent::UnsupportedDiscoveryMethod, CentralState::unsupported},
        {Agent::PoweredOffError, CentralState::poweredOff},
        {Agent::UnsupportedPlatformError, CentralState::unsupported},
    };
    for (const auto& [error, state] : table) {
        watcher.discoveryFailed(error);
        EXPECT_EQ(watcher.state(), state) << error;
    }
    EXPECT_EQ(signalled(spy), (QList{CentralState::poweredOn, CentralState::unauthorized,
                                     CentralState::poweredOff, CentralState::unsupported,
                                     CentralState::poweredOff, CentralState::unsupported}));
}

} // namespace
