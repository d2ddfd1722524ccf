// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/KeyEvents.hpp"

namespace quenlark {

// Key events through Quartz event services: the port's calls map one to one onto
// CGEventSourceCreate, CGEventCreateKeyboardEvent and CGEventPost, whose state IDs, virtual key
// codes and tap locations are the port's own values. Each source and event is released with the
// object that wraps it.
class MacKeyEventServices : public KeyEventServices {
public:
    std::unique_ptr<EventSource> createEventSource(int stateID) override;
    std::unique_ptr<KeyboardEvent>
    createKeyboardEvent(EventSource* source, std::uint16_t virtualKey, bool keyDown) override;
    void postEvent(int tapLocation, KeyboardEvent& event) override;
};

} // namespace quenlark
