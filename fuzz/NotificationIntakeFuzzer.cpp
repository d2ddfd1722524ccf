// SPDX-License-Identifier: MIT
// Feeds one clicker's notifications to the link; traps when a packet delivers anything but the one
// command a new sequence byte brings. Per step a head byte: its top two bits say what comes first
// (1 a disconnect, 2 the radio off and on, 3 forgetting), its low three bits the packet's length.

#include "Core/BLECentralManager.hpp"
#include "FakePlatform.hpp"

#include <algorithm>
#include <cstdio>

using namespace quenlark;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fakes::FakePlatform platform;
    BLECentralManager link(platform);
    std::vector<SlideCommand> delivered;
    link.onCommandReceived = [&delivered](SlideCommand command) { delivered.push_back(command); };
    auto clicker = std::make_shared<fakes::FakePeripheral>(QUuid::createUuid());
    clicker->answersAtOnce = true;
    auto& command = clicker->addClickerLayout();
    fakes::FakeCentral& central = *platform.central;
    central.reportState(CentralState::poweredOn);
    // The last sequence byte seen since the link last ended.
    std::optional<char> last;

    for (std::size_t at = 0; at < size;) {
        const std::uint8_t head = data[at++];
        const int first = head >> 6;
        if (first == 1)
            link.centralManagerDidDisconnectPeripheral(central, *clicker, std::nullopt);
        if (first == 2) {
            central.reportState(CentralState::poweredOff);
            central.reportState(CentralState::poweredOn);
        }
        if (first == 3)
            link.forgetDevice();
        if (first == 1 || first == 3)
            last.reset();
        if (link.connectionState.value() != ConnectionState::connected) {
            central.discover(clicker);
            central.reportConnected(*clicker);
        }
        const auto length = std::min<std::size_t>(head & 7u, size - at);
        const QByteArray packet(reinterpret_cast<const char*>(data + at), qsizetype(length));
        at += length;

        std::vector<SlideCommand> expected;
        if (packet.size() >= 2 && last != packet[1]) {
            last = packet[1];
            if (packet[0] == 1 || packet[0] == 2)
                expected.push_back(packet[0] == 1 ? SlideCommand::nextSlide
                                                  : SlideCommand::previousSlide);
        }
        delivered.clear();
        clicker->notify(command, packet);
        if (delivered != expected) {
            std::fprintf(stderr, "packet %s delivered %zu commands, expected %zu\n",
                         packet.toHex().constData(), delivered.size(), expected.size());
            __builtin_trap();
        }
    }
    return 0;
}
