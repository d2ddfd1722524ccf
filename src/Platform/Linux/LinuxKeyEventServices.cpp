// SPDX-License-Identifier: MIT
#include "Platform/Linux/LinuxKeyEventServices.hpp"

#include "Platform/Linux/PortalKeyboard.hpp"

#include <utility>

namespace quenlark {

namespace {

// A handle on the backend selected when it was made; making one costs nothing.
class LinuxEventSource : public EventSource {
public:
    explicit LinuxEventSource(ArrowKeyPoster& poster) : poster(poster) {}
    ArrowKeyPoster& poster;
};

class LinuxKeyboardEvent : public KeyboardEvent {
public:
    LinuxKeyboardEvent(ArrowKeyPoster* poster, ArrowKey key, bool keyDown)
        : poster(poster), key(key), keyDown(keyDown)
    {}
    ArrowKeyPoster* poster;
    ArrowKey key;
    bool keyDown;
};

} // namespace

LinuxKeyEventServices::LinuxKeyEventServices(const SessionEnvironment& environment,
                                             std::unique_ptr<UinputSystemCalls> calls,
                                             PortalKeyboard* portal,
                                             std::unique_ptr<VirtualKeyboardCalls> waylandCalls)
    : calls_(std::move(calls)), uinput_(*calls_),
      waylandCalls_(waylandCalls ? std::move(waylandCalls)
                                 : std::make_unique<RealVirtualKeyboardCalls>(
                                       environment.waylandDisplay.toLocal8Bit())),
      virtualKeyboard_(*waylandCalls_), portal_(portal)
{
    facts_.session = sessionType(environment);
    if (facts_.session == SessionType::x11) {
        xtest_ = XTestKeyboard::open(environment.display);
        facts_.xtestPresent = xtest_ && xtest_->hasXTest();
        facts_.xwaylandPresent = xtest_ && xtest_->hasXWayland();
    }
    // The X connection is kept only when XTest is what this session uses.
    if (selectBackend(facts_) != KeyBackend::xtest)
        xtest_.reset();
    if (!xtest_ && portal_) {
        QObject::connect(portal_, &PortalKeyboard::availabilityKnown, &context_, [this] {
            refreshBackend();
            if (onSettled)
                onSettled();
        });
        portal_->probe();
    }
    refreshBackend();
}

LinuxKeyEventServices::~LinuxKeyEventServices() = default;

KeyBackend LinuxKeyEventServices::refreshBackend()
{
    // The portal comes before the ways after it, so none of them is tried before its answer.
    if (!settled())
        return backend_ = KeyBackend::none;
    // Each way in is asked only where none before it reaches the session; the answers are kept.
    if (!xtest_ && portal_)
        facts_.portalAvailable = portal_->isAvailable();
    if (!xtest_ && !facts_.portalAvailable && facts_.session == SessionType::wayland)
        facts_.virtualKeyboardOffered = virtualKeyboard_.offered();
    // A uinput device is any program's to drive: it is never made where another way reaches the
    // session.
    if (!xtest_ && !facts_.portalAvailable && !facts_.virtualKeyboardOffered && sessionActive_)
        facts_.uinputWritable = uinput_.create() == UinputKeyboard::State::ready;
    backend_ = selectBackend(facts_);
    if (backend_ == KeyBackend::waylandVirtualKeyboard)
        virtualKeyboardReady_ = virtualKeyboard_.create();
    return backend_;
}

bool LinuxKeyEventServices::settled() const
{
    return xtest_ || !portal_ || portal_->probed();
}

bool LinuxKeyEventServices::reachesSession() const
{
    if (backend_ == KeyBackend::portal)
        return portal_->state() == PortalKeyboard::State::started;
    if (backend_ == KeyBackend::waylandVirtualKeyboard)
        return virtualKeyboardReady_;
    return backend_ != KeyBackend::none;
}

void LinuxKeyEventServices::setSessionActive(bool active)
{
    sessionActive_ = active;
    if (!active)
        uinput_.remove();
    else
        refreshBackend();
}

ArrowKeyPoster* LinuxKeyEventServices::selectedPoster()
{
    switch (backend_) {
    case KeyBackend::xtest:
        return xtest_.get();
    case KeyBackend::uinput:
        return &uinput_;
    case KeyBackend::portal:
        return portal_;
    case KeyBackend::waylandVirtualKeyboard:
        return &virtualKeyboard_;
    case KeyBackend::none:
        break;
    }
    return nullptr;
}

std::unique_ptr<EventSource> LinuxKeyEventServices::createEventSource(int)
{
    ArrowKeyPoster* poster = selectedPoster();
    if (!poster)
        return nullptr;
    return std::make_unique<LinuxEventSource>(*poster);
}

std::unique_ptr<KeyboardEvent> LinuxKeyEventServices::createKeyboardEvent(EventSource* source,
                                                                          std::uint16_t virtualKey,
                                                                          bool keyDown)
{
    const auto key = arrowKeyFromVirtualKey(virtualKey);
    if (!key)
        return nullptr;
    const auto* linuxSource = dynamic_cast<LinuxEventSource*>(source);
    ArrowKeyPoster* poster = linuxSource ? &linuxSource->poster : selectedPoster();
    return std::make_unique<LinuxKeyboardEvent>(poster, *key, keyDown);
}

void LinuxKeyEventServices::postEvent(int, KeyboardEvent& event)
{
    auto* linuxEvent = dynamic_cast<LinuxKeyboardEvent*>(&event);
    if (sessionActive_ && linuxEvent && linuxEvent->poster)
        linuxEvent->poster->post(linuxEvent->key, linuxEvent->keyDown);
}

} // namespace quenlark
