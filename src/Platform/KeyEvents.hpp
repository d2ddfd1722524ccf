// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <memory>

namespace quenlark {

class EventSource {
public:
    virtual ~EventSource() = default;
};

class KeyboardEvent {
public:
    virtual ~KeyboardEvent() = default;
};

// The port's fixed virtual keys; each adapter maps them to its own key.
constexpr std::uint16_t rightArrowVirtualKey = 124;
constexpr std::uint16_t leftArrowVirtualKey = 123;

class KeyEventServices {
public:
    virtual ~KeyEventServices() = default;
    // Null when no source can be made.
    virtual std::unique_ptr<EventSource> createEventSource(int stateID) = 0;
    // The source may be null. Null when no event can be made.
    virtual std::unique_ptr<KeyboardEvent>
    createKeyboardEvent(EventSource* source, std::uint16_t virtualKey, bool keyDown) = 0;
    virtual void postEvent(int tapLocation, KeyboardEvent& event) = 0;
};

} // namespace quenlark
