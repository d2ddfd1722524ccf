// SPDX-License-Identifier: MIT
#pragma once

#include "Models/ConnectionState.hpp"
#include "Models/SlideCommand.hpp"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace quenlark::harness {

// What the clicker link should look like, written from its state table and packet rules alone,
// without looking at the link's code. Peripherals are known by their index in the harness.
struct LinkModel {
    enum class CallKind { scan, stopScan, connect, cancel };
    struct Call {
        CallKind kind;
        int peripheral = -1;
        bool operator==(const Call&) const = default;
    };

    explicit LinkModel(std::optional<QString> storedIdentifier);

    void powerReport(bool poweredOn);
    // Returns whether the peripheral is picked.
    bool discovery(int peripheral, const QString& identifier);
    void connection(const QString& identifier, const QString& shownName);
    // A disconnect notification, or a failed connection attempt.
    void drop();
    void forget();
    void notification(const QByteArray& value, bool handlerSet);

    // Forgets what the last step should have emitted.
    void clearEmitted();

    bool poweredOn = false;
    ConnectionState state = ConnectionState::disconnected;
    std::optional<QString> name;
    bool paired = false;
    std::optional<QString> stored;
    std::optional<std::uint8_t> lastSequence;
    int held = -1;

    // What the current step should emit, in order.
    std::vector<Call> calls;
    std::vector<ConnectionState> states;
    int announcements = 0;
    std::vector<SlideCommand> commands;

private:
    void publishState(ConnectionState next);
    void publishName(std::optional<QString> next);
    void publishPaired(bool next);
    void startScanning();
};

} // namespace quenlark::harness
