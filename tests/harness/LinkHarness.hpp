// SPDX-License-Identifier: MIT
#pragma once

#include "Core/BLECentralManager.hpp"
#include "FakePlatform.hpp"

#include <QByteArray>

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quenlark::harness {

struct LinkStep {
    enum class Kind {
        powerReport,
        discover,
        connect,
        failToConnect,
        disconnect,
        forget,
        notify,
        notifyOtherCharacteristic,
        restart,
    };
    Kind kind = Kind::powerReport;
    CentralState state = CentralState::unknown;
    // Picks the peripheral, or the candidate among those the platform could report about.
    std::size_t target = 0;
    QByteArray packet = {};
};

// Drives one clicker link through the fakes the way a platform could, and after every step checks
// the rules that hold whatever the steps were: calls a platform accepts, only the remembered
// clicker picked, a repeated sequence byte never delivering, each command posting its key down
// then up, the paired flag following the stored identifier, nothing left after an ending. Steps
// the platform could not make at that moment (a discovery while no scan runs) are skipped.
class LinkHarness {
public:
    static constexpr std::size_t peripheralCount = 3;

    LinkHarness();
    ~LinkHarness();
    LinkHarness(const LinkHarness&) = delete;
    LinkHarness& operator=(const LinkHarness&) = delete;

    // Returns a description of the first broken rule, if any.
    std::optional<std::string> apply(const LinkStep& step);

    // The peripheral that can receive packets now, if any.
    std::optional<std::size_t> connectedPeripheral() const;
    std::optional<std::uint8_t> lastSequenceSent() const { return lastSequence_; }
    std::size_t stepsSkipped() const { return skipped_; }
    std::size_t commandsDelivered() const { return delivered_; }

private:
    struct Clicker {
        std::shared_ptr<fakes::FakePeripheral> device;
        fakes::FakeCharacteristic* command = nullptr;
        fakes::FakeCharacteristic* other = nullptr;
    };

    void makeLink();
    bool run(const LinkStep& step);
    std::optional<std::string> followCentralCalls(const std::optional<QString>& storedBefore);
    std::optional<std::string> checkAfter(const LinkStep& step,
                                          const std::vector<SlideCommand>& delivered,
                                          std::size_t postedBefore, bool repeat) const;

    fakes::FakePlatform platform_;
    std::array<Clicker, peripheralCount> clickers_;
    std::unique_ptr<BLECentralManager> link_;
    std::vector<SlideCommand>* sink_ = nullptr;

    // What the platform knows: a running scan and the state of each connection.
    bool scanning_ = false;
    std::set<std::size_t> pending_;
    std::set<std::size_t> open_;
    // The peripheral the link asked to connect last, until the link ends.
    std::optional<std::size_t> held_;
    std::size_t callsSeen_ = 0;
    // The sequence byte of the last packet of two bytes or more on the current connection.
    std::optional<std::uint8_t> lastSequence_;

    std::size_t skipped_ = 0;
    std::size_t delivered_ = 0;
};

} // namespace quenlark::harness
