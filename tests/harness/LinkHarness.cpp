// SPDX-License-Identifier: MIT
#include "LinkHarness.hpp"

#include "Core/KeyInjector.hpp"
#include "Models/BLEConstants.hpp"

#include <sstream>

namespace quenlark::harness {

using fakes::FakeCentral;
using fakes::FakeCharacteristic;
using fakes::FakePeripheral;
using fakes::FakeService;

namespace {

// Identifiers given in lower case; the link must store them in upper case.
const struct {
    const char16_t* uuid;
    const char16_t* stored;
    std::optional<QString> name;
    bool offersClickerService;
} clickerTable[LinkHarness::peripheralCount] = {
    {u"00000000-0000-0000-0000-a1b2c3d4e5f6", u"00000000-0000-0000-0000-A1B2C3D4E5F6",
     QStringLiteral("Clicker"), true},
    {u"6f1c2e4a-0b3d-4c5e-8f70-9a1b2c3d4e5f", u"6F1C2E4A-0B3D-4C5E-8F70-9A1B2C3D4E5F", std::nullopt,
     true},
    {u"00000000-0000-0000-0000-0000000000c3", u"00000000-0000-0000-0000-0000000000C3", QString(),
     false},
};

const QString fallbackName = QStringLiteral("Quenlark");
const QString failureText = QStringLiteral("Link lost ü");

std::string text(ConnectionState state)
{
    return rawValue(state).toStdString();
}

template <typename T> std::string text(const std::optional<T>& value)
{
    if (!value)
        return "absent";
    std::ostringstream out;
    if constexpr (std::is_same_v<T, QString>)
        out << '"' << value->toStdString() << '"';
    else
        out << static_cast<int>(*value);
    return out.str();
}

std::string text(const std::vector<ConnectionState>& states)
{
    std::string joined = "[";
    for (const auto state : states)
        joined += (joined.size() > 1 ? ", " : "") + text(state);
    return joined + "]";
}

std::string text(const std::vector<SlideCommand>& commands)
{
    std::string joined = "[";
    for (const auto command : commands)
        joined += (joined.size() > 1 ? ", " : "") + std::to_string(rawValue(command));
    return joined + "]";
}

LinkModel::CallKind kindOf(FakeCentral::Call call)
{
    switch (call) {
    case FakeCentral::Call::scan:
        return LinkModel::CallKind::scan;
    case FakeCentral::Call::stopScan:
        return LinkModel::CallKind::stopScan;
    case FakeCentral::Call::connect:
        return LinkModel::CallKind::connect;
    case FakeCentral::Call::cancel:
        break;
    }
    return LinkModel::CallKind::cancel;
}

std::string text(const std::vector<LinkModel::Call>& calls)
{
    static const char* const names[] = {"scan", "stopScan", "connect", "cancel"};
    std::string joined = "[";
    for (const auto& call : calls) {
        joined += (joined.size() > 1 ? ", " : "") + std::string(names[static_cast<int>(call.kind)]);
        if (call.peripheral >= 0)
            joined += "(" + std::to_string(call.peripheral) + ")";
    }
    return joined + "]";
}

} // namespace

LinkHarness::LinkHarness()
{
    makeClickers();
    makeLink();
}

LinkHarness::~LinkHarness() = default;

void LinkHarness::makeClickers()
{
    for (std::size_t i = 0; i < peripheralCount; ++i) {
        const auto& row = clickerTable[i];
        Clicker& clicker = clickers_[i];
        clicker = Clicker{};
        clicker.identifier = QString::fromUtf16(row.stored);
        clicker.name = row.name;
        clicker.device =
            std::make_shared<FakePeripheral>(QUuid(QString::fromUtf16(row.uuid)), row.name);
        clicker.device->answersAtOnce = true;
        FakeService* service = nullptr;
        if (row.offersClickerService) {
            clicker.device->addService(
                QUuid(QStringLiteral("0000180f-0000-1000-8000-00805f9b34fb")));
            service = &clicker.device->addService(BLEConstants::serviceUUID());
        } else {
            clicker.detached = std::make_unique<FakeService>(BLEConstants::serviceUUID());
            service = clicker.detached.get();
        }
        clicker.other = &service->addCharacteristic(
            QUuid(QStringLiteral("00002a19-0000-1000-8000-00805f9b34fb")));
        clicker.command = &service->addCharacteristic(BLEConstants::characteristicUUID());
    }
}

void LinkHarness::makeLink()
{
    subscriptions_.clear();
    link_ = std::make_unique<BLECentralManager>(platform_);
    model_ = LinkModel(platform_.defaults.stringForKey(BLECentralManager::savedUUIDKey()));
    setHandler(true);
    QObject::connect(link_.get(), &BLECentralManager::objectWillChange, link_.get(),
                     [this] { ++announcements_; });
    subscriptions_.push_back(link_->connectionState.subscribe(
        [this](const ConnectionState& state) { states_.push_back(state); }));
    states_.clear();
    scanning_ = false;
    pending_.clear();
    open_.clear();
    closing_.clear();
    callsSeen_ = 0;
}

// Commands go to the key injector, as the view model wires them.
void LinkHarness::setHandler(bool present)
{
    handlerSet_ = present;
    if (!present) {
        link_->onCommandReceived = nullptr;
        return;
    }
    link_->onCommandReceived = [this](SlideCommand command) {
        delivered_.push_back(command);
        KeyInjector::injectArrowKey(platform_.keys, command);
    };
}

std::optional<std::size_t> LinkHarness::rememberedPeripheral() const
{
    for (std::size_t i = 0; i < peripheralCount; ++i) {
        if (model_.stored == clickers_[i].identifier)
            return i;
    }
    return std::nullopt;
}

std::optional<std::size_t> LinkHarness::candidate(const std::set<std::size_t>& from,
                                                  std::size_t target)
{
    if (from.empty())
        return std::nullopt;
    return *std::next(from.begin(), static_cast<std::ptrdiff_t>(target % from.size()));
}

void LinkHarness::expectLine(const QString& line)
{
    expectedOutput_ += line + u'\n';
}

std::optional<std::string> LinkHarness::apply(const LinkStep& step)
{
    static const char* const names[] = {
        "power report",    "discover",     "connect",     "fail to connect",
        "disconnect",      "forget",       "notify",      "notify other characteristic",
        "notify no value", "notify error", "set handler", "restart",
    };
    auto broken = check(step);
    if (broken)
        broken = std::string(names[static_cast<int>(step.kind)]) + ": " + *broken;
    return broken;
}

std::optional<std::string> LinkHarness::check(const LinkStep& step)
{
    model_.clearEmitted();
    states_.clear();
    announcements_ = 0;
    delivered_.clear();
    connected_.reset();
    postedSeen_ = platform_.keys.posted.size();
    stepCallsStart_ = callsSeen_;
    const auto sequenceBefore = link_->lastSequence();

    if (step.kind == LinkStep::Kind::restart) {
        const int held = model_.held;
        link_.reset();
        if (held >= 0 && clickers_[static_cast<std::size_t>(held)].device->delegate() != nullptr)
            return "the destroyed link is still the delegate of the peripheral it held";
        makeClickers();
        makeLink();
        if (link_->hasPairedDevice.value() != model_.paired)
            return "a new link does not start paired exactly when an identifier is stored";
        return compare(step, std::nullopt);
    }

    if (!run(step)) {
        ++skipped_;
        return std::nullopt;
    }
    if (auto broken = followCentralCalls())
        return broken;
    commandsDelivered_ += delivered_.size();
    return compare(step, sequenceBefore);
}

bool LinkHarness::run(const LinkStep& step)
{
    using Kind = LinkStep::Kind;
    FakeCentral& central = *platform_.central;
    const std::size_t index = step.target % peripheralCount;
    Clicker& clicker = clickers_[index];
    switch (step.kind) {
    case Kind::powerReport:
        if (step.state != CentralState::poweredOn) {
            // The radio is gone and with it the scan and every connection, without callbacks.
            scanning_ = false;
            pending_.clear();
            open_.clear();
            closing_.clear();
        }
        central.reportState(step.state);
        model_.powerReport(step.state == CentralState::poweredOn);
        return true;
    case Kind::discover:
        if (!scanning_)
            return false;
        central.discover(clicker.device);
        if (model_.discovery(static_cast<int>(index), clicker.identifier))
            clicker.picked = true;
        return true;
    case Kind::connect: {
        const auto chosen = candidate(pending_, step.target);
        if (!chosen)
            return false;
        Clicker& connecting = clickers_[*chosen];
        pending_.erase(*chosen);
        open_.insert(*chosen);
        connected_ = chosen;
        subscriptionsBefore_ = connecting.device->setNotifyValueCalls.size();
        central.reportConnected(*connecting.device);
        model_.connection(connecting.identifier, connecting.name.value_or(fallbackName));
        if (connecting.detached)
            expectLine(QStringLiteral("[BLE] Quenlark service not found on peripheral"));
        return true;
    }
    case Kind::failToConnect: {
        const auto chosen = candidate(pending_, step.target);
        if (!chosen)
            return false;
        pending_.erase(*chosen);
        central.reportFailedToConnect(*clickers_[*chosen].device, PlatformError{failureText});
        model_.drop();
        return true;
    }
    case Kind::disconnect: {
        std::set<std::size_t> connectedOrClosing = open_;
        connectedOrClosing.insert(closing_.begin(), closing_.end());
        const auto chosen = candidate(connectedOrClosing, step.target);
        if (!chosen)
            return false;
        open_.erase(*chosen);
        closing_.erase(*chosen);
        OptionalError error;
        if (step.target % 2 == 1)
            error = PlatformError{failureText};
        central.reportDisconnected(*clickers_[*chosen].device, error);
        model_.drop();
        return true;
    }
    case Kind::forget:
        link_->forgetDevice();
        model_.forget();
        return true;
    case Kind::notify:
        clicker.device->notify(*clicker.command, step.packet);
        if (clicker.picked)
            model_.notification(step.packet, handlerSet_);
        return true;
    case Kind::notifyOtherCharacteristic:
        clicker.device->notify(*clicker.other, step.packet);
        return true;
    case Kind::notifyWithoutValue:
        clicker.device->notify(*clicker.command, std::nullopt);
        return true;
    case Kind::notifyError:
        clicker.device->notify(*clicker.command, step.packet, PlatformError{failureText});
        if (clicker.picked)
            expectLine(QStringLiteral("[BLE] Value update failed: ") + failureText);
        return true;
    case Kind::setHandler:
        // One time in four the handler is taken away.
        setHandler(step.target % 4 != 0);
        return true;
    case Kind::restart:
        break;
    }
    return false;
}

// Checks each new call against what a platform allows and updates the platform's view.
std::optional<std::string> LinkHarness::followCentralCalls()
{
    const auto& calls = platform_.central->calls;
    for (; callsSeen_ < calls.size(); ++callsSeen_) {
        const FakeCentral::Record& record = calls[callsSeen_];
        std::optional<std::size_t> index;
        for (std::size_t i = 0; i < peripheralCount; ++i) {
            if (record.peripheral == clickers_[i].device.get())
                index = i;
        }
        switch (record.call) {
        case FakeCentral::Call::scan:
            if (platform_.central->state() != CentralState::poweredOn)
                return "scan started while the radio is not powered on";
            if (record.services != QList<QUuid>{BLEConstants::serviceUUID()} ||
                record.allowDuplicates)
                return "scan not filtered for the clicker service alone without duplicates";
            scanning_ = true;
            break;
        case FakeCentral::Call::stopScan:
            if (!scanning_)
                return "stopScan without a running scan";
            scanning_ = false;
            break;
        case FakeCentral::Call::connect:
            if (!index)
                return "connect names an unknown peripheral";
            if (callsSeen_ == 0 || calls[callsSeen_ - 1].call != FakeCentral::Call::stopScan)
                return "connect not right after stopScan";
            pending_.insert(*index);
            break;
        case FakeCentral::Call::cancel:
            if (!index)
                return "cancel names an unknown peripheral";
            // A connection the radio already dropped has nothing left to end or report.
            if (pending_.erase(*index) + open_.erase(*index) > 0)
                closing_.insert(*index);
            break;
        }
    }
    return std::nullopt;
}

std::optional<std::string> LinkHarness::compare(const LinkStep& step,
                                                std::optional<std::uint8_t> sequenceBefore) const
{
    const auto& calls = platform_.central->calls;
    std::vector<LinkModel::Call> made;
    for (std::size_t i = stepCallsStart_; i < calls.size(); ++i) {
        int index = -1;
        for (std::size_t p = 0; p < peripheralCount; ++p) {
            if (calls[i].peripheral == clickers_[p].device.get())
                index = static_cast<int>(p);
        }
        made.push_back({kindOf(calls[i].call), index});
    }
    if (made != model_.calls)
        return "central calls " + text(made) + ", expected " + text(model_.calls);
    if (states_ != model_.states)
        return "published states " + text(states_) + ", expected " + text(model_.states);
    if (announcements_ != model_.announcements)
        return "announced " + std::to_string(announcements_) + " changes, expected " +
               std::to_string(model_.announcements);
    if (link_->connectionState.value() != model_.state)
        return "state " + text(link_->connectionState.value()) + ", expected " + text(model_.state);
    if (link_->connectedDeviceName.value() != model_.name)
        return "device name " + text(link_->connectedDeviceName.value()) + ", expected " +
               text(model_.name);
    const auto stored = platform_.defaults.stringForKey(BLECentralManager::savedUUIDKey());
    if (stored != model_.stored)
        return "stored identifier " + text(stored) + ", expected " + text(model_.stored);
    if (link_->hasPairedDevice.value() != stored.has_value())
        return "hasPairedDevice disagrees with the stored identifier";
    if (link_->lastSequence() != model_.lastSequence)
        return "last sequence " + text(link_->lastSequence()) + ", expected " +
               text(model_.lastSequence);

    using Kind = LinkStep::Kind;
    const bool dropped = step.kind == Kind::disconnect || step.kind == Kind::failToConnect ||
                         step.kind == Kind::forget || step.kind == Kind::restart;
    if (dropped && link_->lastSequence())
        return "last sequence kept across a disconnect, failed connection or forget";
    if (step.kind == Kind::notify && step.packet.size() >= 2 &&
        sequenceBefore == static_cast<std::uint8_t>(step.packet[1]) && !delivered_.empty())
        return "a repeated sequence byte delivered a command";
    if (delivered_ != model_.commands)
        return "delivered " + text(delivered_) + ", expected " + text(model_.commands);

    const auto& posted = platform_.keys.posted;
    if (posted.size() - postedSeen_ != 2 * delivered_.size())
        return "posted " + std::to_string(posted.size() - postedSeen_) + " key events for " +
               std::to_string(delivered_.size()) + " commands";
    for (std::size_t i = 0; i < delivered_.size(); ++i) {
        const std::uint16_t key = delivered_[i] == SlideCommand::nextSlide ? 124 : 123;
        const auto& down = posted[postedSeen_ + 2 * i];
        const auto& up = posted[postedSeen_ + 2 * i + 1];
        if (down.key != key || up.key != key || !down.down || up.down)
            return "a command did not post its key down, then up";
    }

    if (connected_) {
        const Clicker& clicker = clickers_[*connected_];
        const auto& subscriptions = clicker.device->setNotifyValueCalls;
        const std::size_t expected = clicker.detached ? 0 : 1;
        if (subscriptions.size() - subscriptionsBefore_ != expected)
            return "a connection made " +
                   std::to_string(subscriptions.size() - subscriptionsBefore_) +
                   " subscriptions, expected " + std::to_string(expected);
        if (expected == 1 &&
            subscriptions.back() != std::pair<bool, Characteristic*>(true, clicker.command))
            return "the connection did not subscribe to the command characteristic";
    }
    return std::nullopt;
}

} // namespace quenlark::harness
