// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/KeyEvents.hpp"

#include <vector>

namespace quenlark::fakes {

// Records each posted event by its key and direction.
class RecordingKeyEventServices : public KeyEventServices {
public:
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

} // namespace quenlark::fakes
