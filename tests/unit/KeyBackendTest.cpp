// SPDX-License-Identifier: MIT
#include "Platform/Linux/KeyBackend.hpp"

#include <gtest/gtest.h>

using namespace quenlark;
using namespace Qt::StringLiterals;

TEST(KeyBackendTest, XTestOnRealX11ThenTheVirtualKeyboardThenThePortalThenNothing)
{
    const SessionEnvironment x11{u"x11"_s, {}, ":0"};
    const struct {
        SessionEnvironment environment;
        bool xtest, xwayland, uinput, portal;
        KeyBackend backend;
    } table[] = {
        // XTest needs no permission; the virtual keyboard no consent, unlike the portal.
        {x11, true, false, true, true, KeyBackend::xtest},
        {{u"tty"_s, {}, ":0"}, true, false, false, false, KeyBackend::xtest}, // startx
        {x11, false, false, true, true, KeyBackend::uinput},
        {x11, false, false, false, true, KeyBackend::portal},
        // XWayland posing as X11: its fake input reaches no Wayland window.
        {x11, true, true, false, true, KeyBackend::portal},
        {{u"x11"_s, u"wayland-1"_s, ":0"}, true, false, true, true, KeyBackend::uinput},
        {{u"wayland"_s, {}, ":1"}, true, false, false, true, KeyBackend::portal},
        {{u"tty"_s, {}, {}}, true, false, false, false, KeyBackend::none},
    };
    for (const auto& row : table) {
        const SessionFacts facts{sessionType(row.environment), row.xtest, row.xwayland, row.uinput,
                                 row.portal};
        EXPECT_EQ(selectBackend(facts), row.backend) << &row - table;
    }
}
