// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/KeyEvents.hpp"

#include <vector>

namespace quenlark::fakes {

// Records every posted event; each made source and event carries the number of its source (0 for
// none), so tests can tell which command's source made which event.
class RecordingKeyEventServices : public KeyEventServices {
public:
    struct Source : EventSource {
        explicit Source(int number) : number(number) {}
        int number;
    };
    struct Posted {
        int tapLocation;
        int sourceNumber;
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
        return std::make_unique<Source>(++sources);
    }

    std::unique_ptr<KeyboardEvent> createKeyboardEvent(EventSource* source, std::uint16_t key,
                                                       bool keyDown) override
    {
        const int number = source ? static_cast<Source*>(source)->number : 0;
        return std::make_unique<Event>(Posted{0, number, key, keyDown});
    }

    void postEvent(int tapLocation, KeyboardEvent& event) override
    {
        posted.push_back(static_cast<Event&>(event).posted);
        posted.back().tapLocation = tapLocation;
    }

    int sources = 0;
    std::vector<Posted> posted;
};

} // namespace quenlark::fakes
