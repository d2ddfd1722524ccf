// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <optional>

namespace quenlark {

// The raw value is the text the panel shows; `advertising` reads "Scanning".
enum class ConnectionState { disconnected, advertising, connected };

QString rawValue(ConnectionState state);
// Only an exact, case-sensitive raw value converts.
std::optional<ConnectionState> connectionStateFromRawValue(const QString& raw);

} // namespace quenlark
