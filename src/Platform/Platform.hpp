// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Accessibility.hpp"
#include "Platform/Bluetooth.hpp"
#include "Platform/Http.hpp"
#include "Platform/KeyEvents.hpp"
#include "Platform/UserDefaults.hpp"

#include <QString>

#include <memory>
#include <optional>

namespace quenlark {

// Everything the portable core needs from the outside world, handed to its constructors.
class Platform {
public:
    virtual ~Platform() = default;
    virtual std::unique_ptr<Central> makeCentral(CentralDelegate& delegate) = 0;
    virtual UserDefaults& userDefaults() = 0;
    virtual KeyEventServices& keyEventServices() = 0;
    virtual AccessibilityServices& accessibilityServices() = 0;
    virtual HttpClient& httpClient() = 0;
    virtual std::optional<QString> bundleShortVersion() const = 0;
};

} // namespace quenlark
