// SPDX-License-Identifier: MIT
#include "LinkModel.hpp"

namespace quenlark::harness {

LinkModel::LinkModel(std::optional<QString> storedIdentifier)
    : paired(storedIdentifier.has_value()), stored(std::move(storedIdentifier))
{}

void LinkModel::clearEmitted()
{
    calls.clear();
    states.clear();
    announcements = 0;
    commands.clear();
}

void LinkModel::publishState(ConnectionState next)
{
    ++announcements;
    state = next;
    states.push_back(next);
}

void LinkModel::publishName(std::optional<QString> next)
{
    ++announcements;
    name = std::move(next);
}

void LinkModel::publishPaired(bool next)
{
    ++announcements;
    paired = next;
}

void LinkModel::startScanning()
{
    if (!poweredOn)
        return;
    publishState(ConnectionState::advertising);
    calls.push_back({CallKind::scan});
}

void LinkModel::powerReport(bool on)
{
    poweredOn = on;
    if (on)
        startScanning();
    else
        publishState(ConnectionState::disconnected);
}

bool LinkModel::discovery(int peripheral, const QString& identifier)
{
    if (stored && *stored != identifier)
        return false;
    calls.push_back({CallKind::stopScan});
    calls.push_back({CallKind::connect, peripheral});
    held = peripheral;
    return true;
}

void LinkModel::connection(const QString& identifier, const QString& shownName)
{
    stored = identifier;
    publishPaired(true);
    publishState(ConnectionState::connected);
    publishName(shownName);
}

void LinkModel::drop()
{
    publishState(ConnectionState::disconnected);
    publishName(std::nullopt);
    held = -1;
    lastSequence.reset();
    startScanning();
}

void LinkModel::forget()
{
    stored.reset();
    publishPaired(false);
    if (held >= 0)
        calls.push_back({CallKind::cancel, held});
    held = -1;
    lastSequence.reset();
    publishName(std::nullopt);
    publishState(ConnectionState::disconnected);
    startScanning();
}

void LinkModel::notification(const QByteArray& value, bool handlerSet)
{
    if (value.size() < 2)
        return;
    const auto sequence = static_cast<std::uint8_t>(value[1]);
    if (lastSequence && *lastSequence == sequence)
        return;
    lastSequence = sequence;
    const auto command = static_cast<std::uint8_t>(value[0]);
    if (handlerSet && (command == 1 || command == 2))
        commands.push_back(command == 1 ? SlideCommand::nextSlide : SlideCommand::previousSlide);
}

} // namespace quenlark::harness
