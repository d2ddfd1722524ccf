// SPDX-License-Identifier: MIT
#include "Platform/Linux/LogindSession.hpp"
#include "Core/KeyInjector.hpp"
#include "MockService.hpp"
#include "Platform/Linux/LinuxKeyEventServices.hpp"
#include "RecordingUinputSystemCalls.hpp"

#include <QDBusVariant>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>

using namespace quenlark;
using namespace Qt::StringLiterals;

namespace {

constexpr int timeoutMs = 20000;

long count(const fakes::RecordingUinputSystemCalls& calls, unsigned long request)
{
    return std::count_if(calls.calls.begin(), calls.calls.end(),
                         [request](const auto& call) { return call.request == request; });
}

} // namespace

// dbusmock's logind on the private system bus holds this program's session, c1; a Wayland
// session's virtual keyboard follows it, as the platform wires it.
TEST(LogindSessionTest, AnInactiveSessionPostsNoKeyAndHasNoVirtualKeyboard)
{
    integration::MockService logind;
    ASSERT_TRUE(logind.startTemplate(true, u"org.freedesktop.login1"_s, u"logind"_s));
    const auto added = logind.mock(u"/org/freedesktop/login1"_s, u"AddSession"_s,
                                   {u"c1"_s, u"seat0"_s, 1000u, u"presenter"_s, true});
    ASSERT_EQ(added.type(), QDBusMessage::ReplyMessage) << added.errorMessage().toStdString();
    const QString sessionPath = added.arguments().value(0).toString();
    qputenv("XDG_SESSION_ID", "c1");

    auto owned = std::make_unique<fakes::RecordingUinputSystemCalls>();
    auto& calls = *owned;
    LinuxKeyEventServices keys(SessionEnvironment{u"wayland"_s, u"wayland-0"_s, {}},
                               std::move(owned));
    LogindSession session;
    QObject::connect(&session, &LogindSession::activeChanged, &session,
                     [&keys](bool active) { keys.setSessionActive(active); });
    const auto setActive = [&](bool active) {
        logind.mock(sessionPath, u"UpdateProperties"_s,
                    {u"org.freedesktop.login1.Session"_s, QVariantMap{{u"Active"_s, active}}});
        return QTest::qWaitFor([&] { return session.isActive() == active; }, timeoutMs);
    };
    ASSERT_EQ(count(calls, UI_DEV_CREATE), 1);

    ASSERT_TRUE(setActive(false)) << "another user switched in";
    EXPECT_EQ(count(calls, UI_DEV_DESTROY), 1);
    EXPECT_EQ(calls.calls.back().name, "close");
    KeyInjector::injectArrowKey(keys, SlideCommand::nextSlide);
    EXPECT_EQ(keys.refreshBackend(), KeyBackend::uinput) << "still trusted: nothing to grant";
    EXPECT_TRUE(calls.writes.empty());
    EXPECT_EQ(count(calls, UI_DEV_CREATE), 1) << "no keyboard is made while inactive";

    ASSERT_TRUE(setActive(true)) << "the user is back";
    EXPECT_EQ(count(calls, UI_DEV_CREATE), 2);
    KeyInjector::injectArrowKey(keys, SlideCommand::previousSlide);
    ASSERT_EQ(calls.writes.size(), 2u);
    EXPECT_EQ(calls.writes[0].events[0].code, KEY_LEFT);
    EXPECT_EQ(calls.writes[0].fd, calls.writes[1].fd);
}
