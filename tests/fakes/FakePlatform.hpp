// SPDX-License-Identifier: MIT
#pragma once

#include "FakeBluetooth.hpp"
#include "FakeHttpClient.hpp"
#include "InMemoryUserDefaults.hpp"
#include "Platform/Accessibility.hpp"
#include "Platform/KeyEvents.hpp"
#include "Platform/Platform.hpp"

namespace quenlark::fakes {

struct FakeAccessibility : AccessibilityServices {
    bool isProcessTrusted() override { return trusted; }
    bool isProcessTrustedWithPrompt() override
    {
        ++prompts;
        return trusted;
    }

    bool trusted = false;
    int prompts = 0;
};

// Records each posted event by its key and direction.
struct RecordingKeyEventServices : KeyEventServices {
    struct Posted {
        std::uint16_t key;
        bool down;
        bool operator==(const Posted&) const = default;
    };
    struct Event : KeyboardEvent {
        explicit Event(Posted posted) : posted(posted) {}
        Posted posted;
    };

    std::unique_ptr<EventSource> createEventSource(int) override
    {
        return std::make_unique<EventSource>();
    }
    std::unique_ptr<KeyboardEvent> createKeyboardEvent(EventSource*, std::uint16_t key,
                                                       bool keyDown) override
    {
        return std::make_unique<Event>(Posted{key, keyDown});
    }
    void postEvent(int, KeyboardEvent& event) override
    {
        posted.push_back(static_cast<Event&>(event).posted);
    }

    std::vector<Posted> posted;
};

// The bundle of fakes; `central` points at the one central made, owned by whoever asked for it.
struct FakePlatform : Platform {
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
