// SPDX-License-Identifier: MIT
#include "LinkHarness.hpp"

#include "Core/KeyInjector.hpp"
#include "Models/BLEConstants.hpp"

#include <iterator>

namespace quenlark::harness {

using fakes::FakeCentral;
using fakes::FakePeripheral;

namespace {

const QString savedKey = QStringLiteral("savedPeripheralUUID");
const QString failureText = QStringLiteral("Link lost");
// The third offers another service: connecting to it ends without a subscription.
const char16_t* const identifiers[LinkHarness::peripheralCount] = {
    u"00000000-0000-0000-0000-a1b2c3d4e5f6", u"6f1c2e4a-0b3d-4c5e-8f70-9a1b2c3d4e5f",
    u"00000000-0000-0000-0000-0000000000c3"};

QString storedText(const FakePeripheral& device)
{
    return device.identifier().toString(QUuid::WithoutBraces).toUpper();
}

std::optional<std::size_t> candidate(const std::set<std::size_t>& from, std::size_t target)
{
    if (from.empty())
        return std::nullopt;
    return *std::next(from.begin(), static_cast<std::ptrdiff_t>(target % from.size()));
}

} // namespace

LinkHarness::LinkHarness()
{
    for (std::size_t i = 0; i < peripheralCount; ++i) {
        Clicker& clicker = clickers_[i];
        clicker.device =
            std::make_shared<FakePeripheral>(QUuid(QString::fromUtf16(identifiers[i])));
        clicker.device->answersAtOnce = true;
        auto& service = clicker.device->addService(
            i + 1 < peripheralCount ? BLEConstants::serviceUUID() : QUuid::createUuid());
        clicker.other = &service.addCharacteristic(QUuid::createUuid());
        clicker.command = &service.addCharacteristic(BLEConstants::characteristicUUID());
    }
    makeLink();
}

LinkHarness::~LinkHarness() = default;

void LinkHarness::makeLink()
{
    link_ = std::make_unique<BLECentralManager>(platform_);
    // Commands go to the key injector, as the view model wires them.
    link_->onCommandReceived = [this](SlideCommand command) {
        if (sink_)
            sink_->push_back(command);
        KeyInjector::injectArrowKey(platform_.keys, command);
    };
    scanning_ = false;
    pending_.clear();
    open_.clear();
    lastSequence_.reset();
    held_.reset();
    callsSeen_ = 0;
}

std::optional<std::size_t> LinkHarness::connectedPeripheral() const
{
    return open_.empty() ? std::nullopt : std::optional(*open_.begin());
}

std::optional<std::string> LinkHarness::apply(const LinkStep& step)
{
    const auto storedBefore = platform_.defaults.stringForKey(savedKey);
    const std::size_t postedBefore = platform_.keys.posted.size();
    const Clicker& target = clickers_[step.target % peripheralCount];
    const bool repeat = step.kind == LinkStep::Kind::notify &&
                        target.device->delegate() == link_.get() && step.packet.size() >= 2 &&
                        lastSequence_ == static_cast<std::uint8_t>(step.packet[1]);

    if (step.kind == LinkStep::Kind::restart) {
        link_.reset();
        if (held_ && clickers_[*held_].device->delegate() != nullptr)
            return "restart: the destroyed link is still the delegate of the peripheral it held";
        // The platform objects go with the link that made them.
        for (const Clicker& clicker : clickers_)
            clicker.device->setDelegate(nullptr);
        makeLink();
        if (link_->hasPairedDevice.value() != storedBefore.has_value())
            return "restart: a new link is not paired exactly when an identifier is stored";
        return std::nullopt;
    }

    std::vector<SlideCommand> delivered;
    sink_ = &delivered;
    const bool ran = run(step);
    sink_ = nullptr;
    if (!ran) {
        ++skipped_;
        return std::nullopt;
    }
    if (auto broken = followCentralCalls(storedBefore))
        return broken;
    delivered_ += delivered.size();
    return checkAfter(step, delivered, postedBefore, repeat);
}

bool LinkHarness::run(const LinkStep& step)
{
    using Kind = LinkStep::Kind;
    FakeCentral& central = *platform_.central;
    const std::size_t index = step.target % peripheralCount;
    const auto dropped = [this] {
        lastSequence_.reset();
        held_.reset();
    };
    switch (step.kind) {
    case Kind::powerReport:
        if (step.state != CentralState::poweredOn) {
            // The radio is gone and with it the scan and every connection, without callbacks.
            scanning_ = false;
            pending_.clear();
            open_.clear();
        }
        central.reportState(step.state);
        return true;
    case Kind::discover:
        if (!scanning_)
            return false;
        central.discover(clickers_[index].device);
        return true;
    case Kind::connect: {
        const auto chosen = candidate(pending_, step.target);
        if (!chosen)
            return false;
        pending_.erase(*chosen);
        open_.insert(*chosen);
        central.reportConnected(*clickers_[*chosen].device);
        return true;
    }
    case Kind::failToConnect: {
        const auto chosen = candidate(pending_, step.target);
        if (!chosen)
            return false;
        pending_.erase(*chosen);
        central.reportFailedToConnect(*clickers_[*chosen].device, PlatformError{failureText});
        dropped();
        return true;
    }
    case Kind::disconnect: {
        const auto chosen = candidate(open_, step.target);
        if (!chosen)
            return false;
        open_.erase(*chosen);
        central.reportDisconnected(*clickers_[*chosen].device, PlatformError{failureText});
        dropped();
        return true;
    }
    case Kind::forget:
        link_->forgetDevice();
        dropped();
        return true;
    case Kind::notify:
        if (clickers_[index].device->delegate() == link_.get() && step.packet.size() >= 2)
            lastSequence_ = static_cast<std::uint8_t>(step.packet[1]);
        clickers_[index].device->notify(*clickers_[index].command, step.packet);
        return true;
    case Kind::notifyOtherCharacteristic:
        clickers_[index].device->notify(*clickers_[index].other, step.packet);
        return true;
    case Kind::restart:
        break;
    }
    return false;
}

// Checks each new call against what a platform accepts and updates the platform's view.
std::optional<std::string>
LinkHarness::followCentralCalls(const std::optional<QString>& storedBefore)
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
            scanning_ = false;
            break;
        case FakeCentral::Call::connect:
            if (!index)
                return "connect names an unknown peripheral";
            if (callsSeen_ == 0 || calls[callsSeen_ - 1].call != FakeCentral::Call::stopScan)
                return "connect not right after stopScan";
            if (storedBefore && *storedBefore != storedText(*clickers_[*index].device))
                return "picked a clicker other than the remembered one";
            pending_.insert(*index);
            held_ = index;
            break;
        case FakeCentral::Call::cancel:
            if (!index)
                return "cancel names an unknown peripheral";
            pending_.erase(*index);
            open_.erase(*index);
            break;
        }
    }
    return std::nullopt;
}

std::optional<std::string> LinkHarness::checkAfter(const LinkStep& step,
                                                   const std::vector<SlideCommand>& delivered,
                                                   std::size_t postedBefore, bool repeat) const
{
    using Kind = LinkStep::Kind;
    const auto stored = platform_.defaults.stringForKey(savedKey);
    if (link_->hasPairedDevice.value() != stored.has_value())
        return "hasPairedDevice disagrees with the stored identifier";
    if (stored && *stored != storedText(*clickers_[0].device) &&
        *stored != storedText(*clickers_[1].device) && *stored != storedText(*clickers_[2].device))
        return "stored identifier is not the upper-case text of a connected clicker";
    const ConnectionState state = link_->connectionState.value();
    if (state == ConnectionState::advertising && !scanning_ && pending_.empty())
        return "shows scanning while neither a scan nor a connection attempt runs";
    if (state == ConnectionState::connected && open_.empty())
        return "shows connected without a connection";
    if (step.kind == Kind::forget && stored)
        return "forget kept the stored identifier";
    const bool ending = step.kind == Kind::disconnect || step.kind == Kind::failToConnect ||
                        step.kind == Kind::forget;
    if (ending && (state == ConnectionState::connected || link_->connectedDeviceName.value()))
        return "the link did not end";

    if (step.kind == Kind::notify) {
        const auto& packet = step.packet;
        const bool heard =
            clickers_[step.target % peripheralCount].device->delegate() == link_.get();
        const bool command = packet.size() >= 2 && (packet[0] == 1 || packet[0] == 2);
        const std::size_t expected = heard && command && !repeat ? 1 : 0;
        if (delivered.size() != expected)
            return repeat ? "a repeated sequence byte delivered a command"
                          : "a packet delivered " + std::to_string(delivered.size()) +
                                " commands, expected " + std::to_string(expected);
        if (expected == 1 && rawValue(delivered[0]) != packet[0])
            return "a packet delivered another command than its first byte names";
    } else if (!delivered.empty()) {
        return "a command without a packet";
    }

    const auto& posted = platform_.keys.posted;
    if (posted.size() - postedBefore != 2 * delivered.size())
        return "a command did not post exactly two key events";
    for (std::size_t i = 0; i < delivered.size(); ++i) {
        const std::uint16_t key = delivered[i] == SlideCommand::nextSlide ? 124 : 123;
        const auto& down = posted[postedBefore + 2 * i];
        const auto& up = posted[postedBefore + 2 * i + 1];
        if (down.key != key || up.key != key || !down.down || up.down)
            return "a command did not post its key down, then up";
    }
    return std::nullopt;
}

} // namespace quenlark::harness
