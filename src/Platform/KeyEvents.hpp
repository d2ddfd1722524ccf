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

// Key codes are the fixed virtual keys 124 (Right Arrow) and 123 (Left Arrow); each adapter maps
// them to its own key.
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
