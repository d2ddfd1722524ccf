// SPDX-License-Identifier: MIT
#include "Platform/Linux/Keys/LinuxKeyEventServices.hpp"

#include <utility>

namespace quenlark {

namespace {

// A handle on the way in chosen when it was made; making one costs nothing.
class LinuxEventSource : public EventSource {
public:
    explicit LinuxEventSource(KeyBackend& backend) : backend(backend) {}
    KeyBackend& backend;
};

class LinuxKeyboardEvent : public KeyboardEvent {
public:
    LinuxKeyboardEvent(KeyBackend* backend, ArrowKey key, bool keyDown)
        : backend(backend), key(key), keyDown(keyDown)
    {}
    KeyBackend* backend;
    ArrowKey key;
    bool keyDown;
};

} // namespace

LinuxKeyEventServices::LinuxKeyEventServices(const SessionEnvironment& environment,
                                             KeyBackendList backends)
    : session_(sessionType(environment)), backends_(std::move(backends))
{
    for (const auto& backend : backends_) {
        KeyBackend* way = backend.get();
        connect(way, &KeyBackend::presenceKnown, this, [this] {
            const bool wasSettled = settled_;
            refresh();
            if (!wasSettled && settled_)
                Q_EMIT settled();
        });
        connect(way, &KeyBackend::consentRefused, this, [this, way] {
            if (way == chosen_)
                Q_EMIT consentRefused(way);
        });
    }
    refresh();
}

LinuxKeyEventServices::~LinuxKeyEventServices() = default;

void LinuxKeyEventServices::refresh()
{
    if (sessionActive_ == false)
        return;
    KeyBackend* present = nullptr;
    settled_ = true;
    for (const auto& backend : backends_) {
        const KeyBackend::Presence presence = backend->presence(session_);
        if (presence == KeyBackend::Presence::pending) {
            settled_ = false;
            break;
        }
        if (presence == KeyBackend::Presence::present) {
            present = backend.get();
            break;
        }
    }
    if (chosen_ && chosen_ != present)
        chosen_->stop();
    chosen_ = present;
    if (chosen_)
        chosen_->start();
}

bool LinuxKeyEventServices::reachesSession() const
{
    return chosen_ && (sessionActive_ == false || chosen_->reachesSession());
}

void LinuxKeyEventServices::setSessionActive(std::optional<bool> active)
{
    sessionActive_ = active;
    if (active == false && chosen_)
        chosen_->stop();
    else
        refresh();
}

std::unique_ptr<EventSource> LinuxKeyEventServices::createEventSource(int)
{
    if (!chosen_)
        return nullptr;
    return std::make_unique<LinuxEventSource>(*chosen_);
}

std::unique_ptr<KeyboardEvent> LinuxKeyEventServices::createKeyboardEvent(EventSource* source,
                                                                          std::uint16_t virtualKey,
                                                                          bool keyDown)
{
    const auto key = arrowKeyFromVirtualKey(virtualKey);
    if (!key)
        return nullptr;
    const auto* linuxSource = dynamic_cast<LinuxEventSource*>(source);
    KeyBackend* backend = linuxSource ? &linuxSource->backend : chosen_;
    return std::make_unique<LinuxKeyboardEvent>(backend, *key, keyDown);
}

void LinuxKeyEventServices::postEvent(int, KeyboardEvent& event)
{
    auto* linuxEvent = dynamic_cast<LinuxKeyboardEvent*>(&event);
    if (sessionActive_ == true && linuxEvent && linuxEvent->backend)
        linuxEvent->backend->post(linuxEvent->key, linuxEvent->keyDown);
}

} // namespace quenlark
