// SPDX-License-Identifier: MIT
#include "Models/ConnectionState.hpp"

#include <array>

namespace quenlark {

namespace {
constexpr std::array allStates{ConnectionState::disconnected, ConnectionState::advertising,
                               ConnectionState::connected};
}

QString rawValue(ConnectionState state)
{
    switch (state) {
    case ConnectionState::disconnected:
        return QStringLiteral("Disconnected");
    case ConnectionState::advertising:
        return QStringLiteral("Scanning");
    case ConnectionState::connected:
        return QStringLiteral("Connected");
    }
    return {};
}

std::optional<ConnectionState> connectionStateFromRawValue(const QString& raw)
{
    for (ConnectionState state : allStates) {
        if (rawValue(state) == raw)
            return state;
    }
    return std::nullopt;
}

} // namespace quenlark
