// SPDX-License-Identifier: MIT
#pragma once

#include "FakeAccessibility.hpp"
#include "FakeBluetooth.hpp"
#include "FakeHttpClient.hpp"
#include "InMemoryUserDefaults.hpp"
#include "Platform/Platform.hpp"
#include "RecordingKeyEventServices.hpp"

namespace quenlark::fakes {

// The bundle of fakes; `central` points at the one central made, owned by whoever asked for it.
class FakePlatform : public Platform {
public:
    std::unique_ptr<Central> makeCentral(CentralDelegate& delegate) override
    {
        auto made = std::make_unique<FakeCentral>(delegate);
        central = made.get();
        return made;
    }
    UserDefaults& userDefaults() override { return defaults; }
    KeyEventServices& keyEventServices() override { return keys; }
    AccessibilityServices& accessibilityServices() override { return accessibility; }
    HttpClient& httpClient() override { return http; }
    std::optional<QString> bundleShortVersion() const override { return QStringLiteral("1.0"); }

    FakeCentral* central = nullptr;
    InMemoryUserDefaults defaults;
    RecordingKeyEventServices keys;
    FakeAccessibility accessibility;
    FakeHttpClient http;
};

} // namespace quenlark::fakes
