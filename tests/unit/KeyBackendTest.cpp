// SPDX-License-Identifier: MIT
#include "Platform/Linux/KeyBackend.hpp"
#include "LinuxKeyPrinters.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <utility>

using namespace quenlark;
using namespace Qt::StringLiterals;

TEST(KeyBackendTest, XTestThenUinputThenThePortalThenNothing)
{
    constexpr auto x11 = SessionType::x11;
    constexpr auto wayland = SessionType::wayland;
    constexpr auto other = SessionType::other;
    // Session, XTEST present, XWAYLAND present, /dev/uinput writable, portal available.
    const struct {
        SessionFacts facts;
        KeyBackend backend;
    } table[] = {
        {{x11, true, false, true, true}, KeyBackend::xtest}, // needs no permission: preferred
        {{x11, false, false, true, true}, KeyBackend::uinput},
        {{x11, false, false, false, true}, KeyBackend::portal},
        {{x11, false, false, false, false}, KeyBackend::none},
        {{x11, true, true, true, true}, KeyBackend::uinput},     // XWayland posing as X11
        {{x11, true, true, false, false}, KeyBackend::none},     // ... is not reached through XTest
        {{wayland, true, true, true, true}, KeyBackend::uinput}, // uinput needs no consent
        {{wayland, true, true, false, true}, KeyBackend::portal},
        {{wayland, true, false, false, false}, KeyBackend::none},
        {{other, true, false, false, true}, KeyBackend::portal}, // a console never uses XTest
        {{other, true, false, true, false}, KeyBackend::uinput},
        {{other, false, false, false, false}, KeyBackend::none},
    };
    for (const auto& row : table) {
        const auto& f = row.facts;
        EXPECT_EQ(selectBackend(f), row.backend)
            << testing::PrintToString(f.session) << " xtest=" << f.xtestPresent
            << " xwayland=" << f.xwaylandPresent << " uinput=" << f.uinputWritable
            << " portal=" << f.portalAvailable;
    }
}

TEST(KeyBackendTest, SessionTypeComesFromTheSessionVariables)
{
    const struct {
        const char* name;
        SessionEnvironment environment;
        SessionType session;
    } table[] = {
        {"X11 login", {u"x11"_s, {}, ":0"}, SessionType::x11},
        {"Wayland login", {u"wayland"_s, u"wayland-0"_s, ":0"}, SessionType::wayland},
        {"Wayland login without WAYLAND_DISPLAY", {u"wayland"_s, {}, ":1"}, SessionType::wayland},
        {"WAYLAND_DISPLAY wins over an X11 session type",
         {u"x11"_s, u"wayland-1"_s, ":0"},
         SessionType::wayland},
        {"startx from a text login", {u"tty"_s, {}, ":0"}, SessionType::x11},
        {"no session type, a display", {{}, {}, ":5"}, SessionType::x11},
        {"no session type, a Wayland socket", {{}, u"wayland-0"_s, {}}, SessionType::wayland},
        {"text console", {u"tty"_s, {}, {}}, SessionType::other},
        {"nothing at all", {{}, {}, {}}, SessionType::other},
        {"X11 type without a display", {u"x11"_s, {}, {}}, SessionType::x11},
    };
    for (const auto& row : table)
        EXPECT_EQ(sessionType(row.environment), row.session) << row.name;
}

TEST(KeyBackendTest, EnvironmentIsReadFromTheProcess)
{
    const std::pair<const char*, const char*> variables[] = {
        {"XDG_SESSION_TYPE", "wayland"}, {"WAYLAND_DISPLAY", "wayland-7"}, {"DISPLAY", ":7"}};
    std::optional<QByteArray> saved[3];
    for (int i = 0; i < 3; ++i) {
        if (qEnvironmentVariableIsSet(variables[i].first))
            saved[i] = qgetenv(variables[i].first);
        qputenv(variables[i].first, variables[i].second);
    }
    const auto environment = SessionEnvironment::current();
    for (int i = 0; i < 3; ++i)
        saved[i] ? qputenv(variables[i].first, *saved[i]) : qunsetenv(variables[i].first);

    EXPECT_EQ(environment.xdgSessionType, u"wayland"_s);
    EXPECT_EQ(environment.waylandDisplay, u"wayland-7"_s);
    EXPECT_EQ(environment.display, QByteArray(":7"));
}
