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
                                             PortalKeyboard* portal)
    : m_calls(std::move(calls)), m_uinput(*m_calls), m_portal(portal)
{
    m_facts.session = sessionType(environment);
    if (m_facts.session == SessionType::x11) {
        m_xtest = XTestKeyboard::open(environment.display);
        m_facts.xtestPresent = m_xtest && m_xtest->hasXTest();
        m_facts.xwaylandPresent = m_xtest && m_xtest->hasXWayland();
    }
    // The X connection is kept only when XTest is what this session uses.
    if (selectBackend(m_facts) != KeyBackend::xtest)
        m_xtest.reset();
    refreshBackend();
}

LinuxKeyEventServices::~LinuxKeyEventServices() = default;

KeyBackend LinuxKeyEventServices::refreshBackend()
{
    if (!m_xtest && m_sessionActive)
        m_facts.uinputWritable = m_uinput.create() == UinputKeyboard::State::ready;
    // Asked only where nothing else reaches the session; the answer is kept.
    if (!m_xtest && !m_facts.uinputWritable && m_portal)
        m_facts.portalAvailable = m_portal->isAvailable();
    m_backend = selectBackend(m_facts);
    return m_backend;
}

bool LinuxKeyEventServices::reachesSession() const
{
    if (m_backend == KeyBackend::portal)
        return m_portal->state() == PortalKeyboard::State::started;
    return m_backend != KeyBackend::none;
}

void LinuxKeyEventServices::setSessionActive(bool active)
{
    m_sessionActive = active;
    if (!active)
        m_uinput.remove();
    else
        refreshBackend();
}

ArrowKeyPoster* LinuxKeyEventServices::selectedPoster()
{
    switch (m_backend) {
    case KeyBackend::xtest:
        return m_xtest.get();
    case KeyBackend::uinput:
        return &m_uinput;
    case KeyBackend::portal:
        return m_portal;
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
    if (m_sessionActive && linuxEvent && linuxEvent->poster)
        linuxEvent->poster->post(linuxEvent->key, linuxEvent->keyDown);
}

} // namespace quenlark
