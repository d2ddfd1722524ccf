// SPDX-License-Identifier: MIT
#include "Platform/Linux/XTestKeyboard.hpp"
#include "Core/KeyInjector.hpp"
#include "LinuxKeyPrinters.hpp"
#include "Platform/Linux/LinuxAccessibility.hpp"
#include "Platform/Linux/LinuxKeyEventServices.hpp"
#include "RecordingUinputSystemCalls.hpp"
#include "XvfbServer.hpp"

#include <QDeadlineTimer>

#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <ostream>
#include <vector>

// Last: Xlib's macros (None, KeyPress, Bool, ...) would clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

using namespace quenlark;
using namespace Qt::StringLiterals;
using fakes::RecordingUinputSystemCalls;
using integration::XvfbServer;

namespace {

constexpr int eventTimeoutMs = 20000;

struct SeenKey {
    int type;
    KeySym keysym;
    bool synthetic;
    bool operator==(const SeenKey&) const = default;
};

void PrintTo(const SeenKey& key, std::ostream* out)
{
    *out << (key.type == KeyPress     ? "press "
             : key.type == KeyRelease ? "release "
                                      : "other ")
         << XKeysymToString(key.keysym) << (key.synthetic ? " (sent)" : "");
}

// A client of its own that maps a window, gives it the input focus and reads its key events.
class FocusedWindow {
public:
    explicit FocusedWindow(const QByteArray& displayName)
        : display_(XOpenDisplay(displayName.constData()))
    {
        if (!display_)
            return;
        const int screen = DefaultScreen(display_);
        window_ = XCreateSimpleWindow(display_, RootWindow(display_, screen), 0, 0, 200, 200, 0,
                                      BlackPixel(display_, screen), WhitePixel(display_, screen));
        XSelectInput(display_, window_, KeyPressMask | KeyReleaseMask | StructureNotifyMask);
        // A press and release that a loaded machine pulls apart must not turn into repeats.
        XAutoRepeatOff(display_);
        XMapWindow(display_, window_);
        const QDeadlineTimer deadline(eventTimeoutMs);
        XEvent event;
        while (!mapped_ && nextEvent(event, deadline))
            mapped_ = event.type == MapNotify;
        if (!mapped_)
            return;
        XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
        XSync(display_, False);
    }

    ~FocusedWindow()
    {
        if (display_)
            XCloseDisplay(display_);
    }

    bool isReady() const { return mapped_; }

    // The key events that arrive within the timeout, up to count of them.
    std::vector<SeenKey> keys(std::size_t count)
    {
        std::vector<SeenKey> seen;
        const QDeadlineTimer deadline(eventTimeoutMs);
        XEvent event;
        while (seen.size() < count && nextEvent(event, deadline)) {
            if (event.type == KeyPress || event.type == KeyRelease)
                seen.push_back(
                    {event.type, XLookupKeysym(&event.xkey, 0), event.xkey.send_event != False});
        }
        return seen;
    }

private:
    bool nextEvent(XEvent& event, const QDeadlineTimer& deadline)
    {
        while (XPending(display_) == 0) {
            if (deadline.hasExpired())
                return false;
            pollfd descriptor{ConnectionNumber(display_), POLLIN, 0};
            poll(&descriptor, 1, static_cast<int>(std::min<qint64>(deadline.remainingTime(), 500)));
        }
        XNextEvent(display_, &event);
        return true;
    }

    Display* display_;
    Window window_ = 0;
    bool mapped_ = false;
};

struct Keys {
    explicit Keys(const QByteArray& display, int uinputOpenError = ENOENT)
    {
        auto owned = std::make_unique<RecordingUinputSystemCalls>();
        owned->openError = uinputOpenError;
        calls = owned.get();
        services = std::make_unique<LinuxKeyEventServices>(
            SessionEnvironment{u"x11"_s, {}, display}, std::move(owned));
        access = std::make_unique<LinuxAccessibility>(*services, [this] { ++prompts; });
    }

    RecordingUinputSystemCalls* calls;
    std::unique_ptr<LinuxKeyEventServices> services;
    std::unique_ptr<LinuxAccessibility> access;
    int prompts = 0;
};

} // namespace

TEST(XTestKeyboardTest, ArrowKeysReachTheFocusedWindowAsRealKeyEventsInOrder)
{
    XvfbServer server;
    ASSERT_TRUE(server.isRunning()) << server.failure().toStdString();
    FocusedWindow window(server.display());
    ASSERT_TRUE(window.isReady()) << "the test window was not mapped";

    Keys keys(server.display());
    EXPECT_EQ(keys.services->backend(), KeyBackend::xtest);
    EXPECT_TRUE(keys.access->isProcessTrustedWithPrompt());
    EXPECT_EQ(keys.prompts, 0);

    // While another session has the seat nothing is typed, whatever the backend.
    keys.services->setSessionActive(false);
    KeyInjector::injectArrowKey(*keys.services, SlideCommand::previousSlide);
    keys.services->setSessionActive(true);
    KeyInjector::injectArrowKey(*keys.services, SlideCommand::nextSlide);
    KeyInjector::injectArrowKey(*keys.services, SlideCommand::previousSlide);

    EXPECT_EQ(window.keys(4), (std::vector<SeenKey>{{KeyPress, XK_Right, false},
                                                    {KeyRelease, XK_Right, false},
                                                    {KeyPress, XK_Left, false},
                                                    {KeyRelease, XK_Left, false}}));
    EXPECT_TRUE(keys.calls->calls.empty()) << "no virtual keyboard where XTest works";
}

TEST(XTestKeyboardTest, WithoutTheXTestExtensionTheSessionIsNotTrusted)
{
    XvfbServer server({u"-extension"_s, u"XTEST"_s});
    ASSERT_TRUE(server.isRunning()) << server.failure().toStdString();

    const auto xtest = XTestKeyboard::open(server.display());
    ASSERT_NE(xtest, nullptr);
    EXPECT_FALSE(xtest->hasXTest());

    Keys keys(server.display(), EACCES);
    EXPECT_EQ(keys.services->backend(), KeyBackend::none);
    EXPECT_FALSE(keys.access->isProcessTrustedWithPrompt());
    EXPECT_EQ(keys.prompts, 1);
    EXPECT_EQ(keys.calls->calls.front().name, "open") << "the virtual keyboard was tried instead";
}

TEST(XTestKeyboardTest, AnX11SessionWhoseServerIsGoneFallsBackToTheVirtualKeyboard)
{
    QByteArray goneDisplay;
    {
        XvfbServer server;
        ASSERT_TRUE(server.isRunning()) << server.failure().toStdString();
        goneDisplay = server.display();
    }
    EXPECT_EQ(XTestKeyboard::open(goneDisplay), nullptr);

    Keys keys(goneDisplay, 0);
    EXPECT_EQ(keys.services->backend(), KeyBackend::uinput);
    EXPECT_TRUE(keys.access->isProcessTrusted());
}
