// SPDX-License-Identifier: MIT
#pragma once

#include "Core/BLECentralManager.hpp"
#include "FakePlatform.hpp"
#include "LinkModel.hpp"

#include <QByteArray>
#include <QString>

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
        notifyWithoutValue,
        notifyError,
        setHandler,
        restart,
    };
    Kind kind = Kind::powerReport;
    CentralState state = CentralState::unknown;
    // Picks the peripheral, the candidate among those the platform could report about, or
    // whether a command handler is set.
    std::size_t target = 0;
    QByteArray packet = {};
};

// Drives one clicker link through the fakes the way a platform could, step by step, and checks
// it after every step against LinkModel and against rules any platform relies on. Steps that the
// platform could not make at that moment (a discovery while no scan runs, a connection nobody
// asked for) are skipped. Diagnostic lines go to standard output as usual; `expectedOutput`
// holds the ones the steps so far should have written.
class LinkHarness {
public:
    static constexpr std::size_t peripheralCount = 3;

    LinkHarness();
    ~LinkHarness();
    LinkHarness(const LinkHarness&) = delete;
    LinkHarness& operator=(const LinkHarness&) = delete;

    // Returns a description of the first broken rule, if any.
    std::optional<std::string> apply(const LinkStep& step);

    const LinkModel& model() const { return model_; }
    // The index of the peripheral whose identifier is stored, if one is.
    std::optional<std::size_t> rememberedPeripheral() const;
    const QString& expectedOutput() const { return expectedOutput_; }
    std::size_t stepsSkipped() const { return skipped_; }
    std::size_t commandsDelivered() const { return commandsDelivered_; }

private:
    struct Clicker {
        QString identifier;
        std::optional<QString> name;
        std::shared_ptr<fakes::FakePeripheral> device;
        // Holds the characteristics of a peripheral that offers no clicker service.
        std::unique_ptr<fakes::FakeService> detached;
        fakes::FakeCharacteristic* command = nullptr;
        fakes::FakeCharacteristic* other = nullptr;
        bool picked = false;
    };

    std::optional<std::string> check(const LinkStep& step);
    void makeLink();
    void makeClickers();
    void setHandler(bool present);
    bool run(const LinkStep& step);
    static std::optional<std::size_t> candidate(const std::set<std::size_t>& from,
                                                std::size_t target);
    std::optional<std::string> followCentralCalls();
    std::optional<std::string> compare(const LinkStep& step,
                                       std::optional<std::uint8_t> sequenceBefore) const;
    void expectLine(const QString& line);

    fakes::FakePlatform platform_;
    std::array<Clicker, peripheralCount> clickers_;
    std::unique_ptr<BLECentralManager> link_;
    std::vector<Subscription> subscriptions_;
    LinkModel model_{std::nullopt};
    bool handlerSet_ = true;

    // What the platform knows: a running scan and the state of each connection.
    bool scanning_ = false;
    std::set<std::size_t> pending_;
    std::set<std::size_t> open_;
    std::set<std::size_t> closing_;

    // What the link emitted during the current step.
    std::size_t callsSeen_ = 0;
    std::size_t stepCallsStart_ = 0;
    std::size_t postedSeen_ = 0;
    std::vector<ConnectionState> states_;
    int announcements_ = 0;
    std::vector<SlideCommand> delivered_;
    // The peripheral reported connected in this step and its subscriptions before it.
    std::optional<std::size_t> connected_;
    std::size_t subscriptionsBefore_ = 0;

    QString expectedOutput_;
    std::size_t skipped_ = 0;
    std::size_t commandsDelivered_ = 0;
};

} // namespace quenlark::harness
