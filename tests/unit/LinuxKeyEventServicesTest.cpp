// SPDX-License-Identifier: MIT
#include "Platform/Linux/Keys/LinuxKeyEventServices.hpp"
#include "Core/KeyInjector.hpp"
#include "InMemoryUserDefaults.hpp"
#include "Platform/Linux/Keys/PortalKeyboard.hpp"
#include "Platform/Linux/Keys/StandardKeyBackends.hpp"
#include "Platform/Linux/Keys/UinputKeyboard.hpp"
#include "Platform/Linux/Keys/WaylandVirtualKeyboard.hpp"
#include "Platform/Linux/Keys/XTestKeyboard.hpp"
#include "Platform/Linux/Permission/LinuxAccessibility.hpp"
#include "ScriptedKeyBackend.hpp"

#include <QCoreApplication>
#include <QHash>

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <string>
#include <tuple>
#include <utility>

using namespace quenlark;
using namespace Qt::StringLiterals;

namespace {

// Name, request (an event's type and code), value (the flags of an open).
using Calls = std::vector<std::tuple<std::string, unsigned long, int>>;

// Records the virtual keyboard's system calls, a write as its events, and answers as scripted:
// open fails while openError is set, and write while writeError is.
struct RecordingCalls : UinputSystemCalls {
    int open(const char*, int flags) override
    {
        calls.emplace_back("open", 0, flags);
        return openError != 0 ? -openError : 3;
    }
    int ioctl(int, unsigned long request, int value) override
    {
        calls.emplace_back("ioctl", request, value);
        return 0;
    }
    int ioctl(int fd, unsigned long request, const uinput_setup& setup) override
    {
        return ioctl(fd, request, setup.id.bustype);
    }
    ssize_t write(int, const void* data, std::size_t size) override
    {
        const auto* events = static_cast<const input_event*>(data);
        for (std::size_t i = 0; i < size / sizeof(input_event); ++i)
            calls.emplace_back("event", events[i].type << 16 | events[i].code, events[i].value);
        return writeError != 0 ? -writeError : static_cast<ssize_t>(size);
    }
    int close(int) override
    {
        calls.emplace_back("close", 0, 0);
        return 0;
    }

    int openError = 0;
    int writeError = 0;
    Calls calls;
};

// The compositor's side of the virtual keyboard: bound when offered, lost on demand.
struct RecordingWaylandCalls : VirtualKeyboardCalls {
    explicit RecordingWaylandCalls(bool offered) : offered(offered) {}
    bool bindManager() override
    {
        calls.emplace_back("bind", 0, 0);
        return offered;
    }
    void createKeyboard(const QByteArray&) override { calls.emplace_back("keyboard", 0, 0); }
    void key(std::uint32_t, std::uint32_t code, bool pressed) override
    {
        calls.emplace_back("key", code, pressed);
    }
    bool flush() override { return !lost; }

    bool offered;
    bool lost = false;
    Calls calls;
};

const Calls opening{{"open", 0, O_WRONLY | O_NONBLOCK | O_CLOEXEC}};
const Calls removal{{"ioctl", UI_DEV_DESTROY, 0}, {"close", 0, 0}};

Calls operator+(Calls calls, const Calls& more)
{
    calls.insert(calls.end(), more.begin(), more.end());
    return calls;
}

// Seats take the virtual keyboard for a keyboard only with the main key block.
Calls creation()
{
    Calls calls = opening + Calls{{"ioctl", UI_SET_EVBIT, EV_KEY}};
    for (int key = KEY_ESC; key <= KEY_D; ++key)
        calls.emplace_back("ioctl", UI_SET_KEYBIT, key);
    return calls + Calls{{"ioctl", UI_SET_KEYBIT, KEY_LEFT},
                         {"ioctl", UI_SET_KEYBIT, KEY_RIGHT},
                         {"ioctl", UI_DEV_SETUP, BUS_VIRTUAL},
                         {"ioctl", UI_DEV_CREATE, 0}};
}

using Presence = KeyBackend::Presence;

// One write: the key event and the report that hands it on.
Calls frame(int key, int value)
{
    return {{"event", EV_KEY << 16 | key, value}, {"event", EV_SYN << 16 | SYN_REPORT, 0}};
}

const SessionEnvironment x11{u"x11"_s, {}, ":0"};
const SessionEnvironment wayland{u"wayland"_s, u"wayland-1"_s, {}};
const SessionEnvironment x11WithWaylandDisplay{u"x11"_s, u"wayland-1"_s, ":0"};

// What each way in finds in a session: XTest (by its own rule) and the portal scripted, the
// compositor's keyboard and uinput real over recorded calls.
struct Session {
    const char* name;
    SessionEnvironment environment;
    bool xtest, xwayland, uinput, portal, virtualKeyboard;
    const char* chosen;
};

void PrintTo(const Session& row, std::ostream* out)
{
    *out << row.name;
}

struct Ways {
    KeyBackendList backends;
    QHash<const KeyBackend*, QString> names;
    Calls* uinputCalls = nullptr;
    Calls* waylandCalls = nullptr;
};

Ways waysOf(const Session& row, UserDefaults& defaults)
{
    Ways ways;
    for (auto& backend :
         standardKeyBackends(row.environment, defaults, QDBusConnection(u"no bus"_s))) {
        const KeyBackend& real = *backend;
        QString name;
        if (dynamic_cast<const XTestKeyboard*>(&real)) {
            name = u"xtest"_s;
            backend = std::make_unique<fakes::ScriptedKeyBackend>(
                XTestKeyboard::presence(sessionType(row.environment), row.xtest, row.xwayland));
        } else if (dynamic_cast<const PortalKeyboard*>(&real)) {
            name = u"portal"_s;
            backend = std::make_unique<fakes::ScriptedKeyBackend>(row.portal ? Presence::present
                                                                             : Presence::absent);
        } else if (dynamic_cast<const WaylandVirtualKeyboard*>(&real)) {
            name = u"virtual keyboard"_s;
            auto calls = std::make_unique<RecordingWaylandCalls>(row.virtualKeyboard);
            ways.waylandCalls = &calls->calls;
            backend = std::make_unique<WaylandVirtualKeyboard>(std::move(calls));
        } else if (dynamic_cast<const UinputKeyboard*>(&real)) {
            name = u"uinput"_s;
            auto calls = std::make_unique<RecordingCalls>();
            calls->openError = row.uinput ? 0 : EACCES;
            ways.uinputCalls = &calls->calls;
            backend = std::make_unique<UinputKeyboard>(std::move(calls));
        }
        ways.names.insert(backend.get(), name);
        ways.backends.push_back(std::move(backend));
    }
    return ways;
}

} // namespace

class KeyBackendTest : public testing::TestWithParam<Session> {};

// XTest, then the portal, then the compositor's keyboard, then uinput, then nothing; each way is
// asked only where none before it is there, so a device is made only by the way chosen.
TEST_P(KeyBackendTest, TheFirstWayInTheSessionOffersIsChosen)
{
    const Session& row = GetParam();
    fakes::InMemoryUserDefaults defaults;
    Ways ways = waysOf(row, defaults);
    const Calls& uinputCalls = *ways.uinputCalls;
    const auto names = ways.names;
    LinuxKeyEventServices keys(row.environment, std::move(ways.backends));
    const QString chosen = names.value(keys.chosen(), u"none"_s);
    EXPECT_EQ(chosen, QLatin1StringView(row.chosen));
    EXPECT_EQ(uinputCalls.empty(), chosen != u"uinput" && chosen != u"none")
        << "uinput is opened only where no way before it is there";
    EXPECT_EQ(uinputCalls.size() > 1, chosen == u"uinput") << "a device only where it is chosen";
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, KeyBackendTest,
    testing::Values(
        Session{"X11", x11, true, false, true, true, false, "xtest"},
        Session{"Startx", {u"tty"_s, {}, ":0"}, true, false, false, false, false, "xtest"},
        // A writable /dev/uinput gives every program of the user any device: the last resort.
        Session{"X11PortalBeforeUinput", x11, false, false, true, true, false, "portal"},
        Session{"X11Uinput", x11, false, false, true, false, false, "uinput"},
        // XWayland posing as X11: its fake input reaches no Wayland window.
        Session{"XWayland", x11, true, true, false, true, false, "portal"},
        Session{"WaylandDisplayWins", x11WithWaylandDisplay, true, false, true, false, false,
                "uinput"},
        Session{"WaylandPortal", {u"wayland"_s, {}, ":1"}, true, false, true, true, true, "portal"},
        // wlroots compositors (Sway) have no remote-desktop portal but their own keyboard.
        Session{"Wlroots", wayland, false, false, true, false, true, "virtual keyboard"},
        Session{"TextConsole", {u"tty"_s, {}, {}}, true, false, false, false, false, "none"}),
    [](const testing::TestParamInfo<Session>& info) { return std::string(info.param.name); });

// A new way in is one file and one line in the list: put in after XTest (absent here), it is asked
// in its place, carries the keys, and the ways after it are never asked.
TEST(KeyBackendListTest, AWayPutInTheListIsAskedInItsPlaceAndCarriesTheKeys)
{
    fakes::InMemoryUserDefaults defaults;
    Ways ways = waysOf({"Sway", wayland, false, false, true, false, true, "none"}, defaults);
    auto added = std::make_unique<fakes::ScriptedKeyBackend>(Presence::present);
    const auto& posted = added->posted;
    ways.backends.insert(ways.backends.begin() + 1, std::move(added));
    LinuxKeyEventServices keys(wayland, std::move(ways.backends));
    KeyInjector::injectArrowKey(keys, SlideCommand::previousSlide);
    EXPECT_EQ(posted, (std::vector<std::pair<ArrowKey, bool>>{{ArrowKey::left, true},
                                                              {ArrowKey::left, false}}));
    EXPECT_EQ(*ways.waylandCalls, Calls{});
    EXPECT_EQ(*ways.uinputCalls, Calls{});
}

// A Wayland session where /dev/uinput cannot be written at first, under the trust poll.
TEST(LinuxKeyEventServicesTest, KeysFlowOnceAccessAppearsAndOnlyWhileTheSessionHasTheSeat)
{
    auto owned = std::make_unique<RecordingCalls>();
    auto& calls = *owned;
    calls.openError = EACCES;
    KeyBackendList backends;
    backends.push_back(
        std::make_unique<WaylandVirtualKeyboard>(std::make_unique<RecordingWaylandCalls>(false)));
    backends.push_back(std::make_unique<UinputKeyboard>(std::move(owned)));
    LinuxKeyEventServices keys({u"wayland"_s, u"wayland-0"_s, ":0"}, std::move(backends));
    int prompts = 0;
    LinuxAccessibility access(keys, [&prompts](auto) { ++prompts; });
    EXPECT_FALSE(access.isProcessTrusted());
    EXPECT_EQ(prompts, 0) << "the silent query shows nothing";
    EXPECT_FALSE(access.isProcessTrustedWithPrompt());
    EXPECT_EQ(prompts, 1);
    KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);

    // The grant lands: the next poll makes the keyboard, and no later poll or press another.
    calls.openError = 0;
    EXPECT_TRUE(access.isProcessTrustedWithPrompt());
    EXPECT_TRUE(access.isProcessTrusted());
    KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
    EXPECT_EQ(prompts, 1);

    // Another user switches in: the keyboard goes, so that it feeds nobody else's session.
    keys.setSessionActive(false);
    KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
    EXPECT_TRUE(access.isProcessTrusted()) << "nothing to grant";
    keys.setSessionActive(true);

    // A device that refused a frame may hold a key down, so a fresh one, all keys up, would replace
    // it; here access went with the device (the rule was removed), and trust ends.
    calls.writeError = ENODEV;
    calls.openError = EACCES;
    KeyInjector::injectArrowKey(keys, SlideCommand::previousSlide);
    EXPECT_FALSE(access.isProcessTrusted());

    // No write, only a try to open, at start and at each poll while there is no access.
    EXPECT_EQ(calls.calls, opening + opening + opening + creation() + frame(KEY_RIGHT, 1) +
                               frame(KEY_RIGHT, 0) + removal + creation() + frame(KEY_LEFT, 1) +
                               removal + opening + opening);
}

// Until the portal's presence is known nothing is chosen, tried or asked; then the start-up request
// is made only if the way chosen does not reach the session. Here there is no bus, so no portal.
// Where the compositor offers a virtual keyboard (Sway), it carries the keys with no privilege.
TEST(LinuxAccessibilityTest, TheStartUpRequestWaitsForThePortalsAnswer)
{
    for (const bool compositorKeyboard : {false, true}) {
        fakes::InMemoryUserDefaults defaults;
        auto uinput = std::make_unique<RecordingCalls>();
        uinput->openError = EACCES;
        const Calls& uinputCalls = uinput->calls;
        auto wayland = std::make_unique<RecordingWaylandCalls>(compositorKeyboard);
        RecordingWaylandCalls& compositor = *wayland;
        KeyBackendList backends;
        backends.push_back(
            std::make_unique<PortalKeyboard>(defaults, QDBusConnection(u"no bus"_s)));
        backends.push_back(std::make_unique<WaylandVirtualKeyboard>(std::move(wayland)));
        backends.push_back(std::make_unique<UinputKeyboard>(std::move(uinput)));
        LinuxKeyEventServices keys({u"wayland"_s, u"wayland-0"_s, {}}, std::move(backends));
        int prompts = 0;
        LinuxAccessibility access(keys, [&prompts](auto) { ++prompts; });
        EXPECT_FALSE(access.isProcessTrusted());
        EXPECT_FALSE(access.isProcessTrustedWithPrompt());
        EXPECT_EQ(prompts, 0);
        EXPECT_EQ(uinputCalls, Calls{});

        QCoreApplication::processEvents(); // the answer
        EXPECT_EQ(access.isProcessTrusted(), compositorKeyboard);
        EXPECT_EQ(prompts, compositorKeyboard ? 0 : 1);
        EXPECT_EQ(uinputCalls.empty(), compositorKeyboard);
        if (!compositorKeyboard)
            continue;

        // The compositor's keyboard types, and uinput is never opened.
        KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
        KeyInjector::injectArrowKey(keys, SlideCommand::previousSlide);
        EXPECT_EQ(compositor.calls, (Calls{{"bind", 0, 0},
                                           {"keyboard", 0, 0},
                                           {"key", KEY_RIGHT, 1},
                                           {"key", KEY_RIGHT, 0},
                                           {"key", KEY_LEFT, 1},
                                           {"key", KEY_LEFT, 0}}));
        EXPECT_EQ(uinputCalls, Calls{});
        compositor.lost = true;
        EXPECT_FALSE(access.isProcessTrusted()) << "the compositor went, or refused the keyboard";
    }
}
