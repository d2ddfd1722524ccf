// SPDX-License-Identifier: MIT
#include "Platform/Mac/MacKeyEventServices.hpp"

#include <CoreGraphics/CoreGraphics.h>

namespace quenlark {

namespace {

// Owns one reference from a Create call and releases it once.
template <typename Port, typename Ref> class Released : public Port {
public:
    explicit Released(Ref ref) : ref(ref) {}
    ~Released() override { CFRelease(ref); }
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;

    const Ref ref;
};

using MacEventSource = Released<EventSource, CGEventSourceRef>;
using MacKeyboardEvent = Released<KeyboardEvent, CGEventRef>;

} // namespace

std::unique_ptr<EventSource> MacKeyEventServices::createEventSource(int stateID)
{
    const CGEventSourceRef source = CGEventSourceCreate(static_cast<CGEventSourceStateID>(stateID));
    if (!source)
        return nullptr;
    return std::make_unique<MacEventSource>(source);
}

std::unique_ptr<KeyboardEvent> MacKeyEventServices::createKeyboardEvent(EventSource* source,
                                                                        std::uint16_t virtualKey,
                                                                        bool keyDown)
{
    // Without a source of ours the event is made without one, which Quartz accepts.
    const auto* macSource = dynamic_cast<MacEventSource*>(source);
    const CGEventRef event = CGEventCreateKeyboardEvent(
        macSource ? macSource->ref : nullptr, static_cast<CGKeyCode>(virtualKey), keyDown);
    if (!event)
        return nullptr;
    return std::make_unique<MacKeyboardEvent>(event);
}

void MacKeyEventServices::postEvent(int tapLocation, KeyboardEvent& event)
{
    if (auto* macEvent = dynamic_cast<MacKeyboardEvent*>(&event))
        CGEventPost(static_cast<CGEventTapLocation>(tapLocation), macEvent->ref);
}

} // namespace quenlark
