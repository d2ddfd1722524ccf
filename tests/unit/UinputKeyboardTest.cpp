// SPDX-License-Identifier: MIT
#include "Platform/Linux/UinputKeyboard.hpp"
#include "LinuxKeyPrinters.hpp"
#include "RecordingUinputSystemCalls.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <tuple>

using namespace quenlark;
using fakes::RecordingUinputSystemCalls;
using Call = RecordingUinputSystemCalls::Call;
using State = UinputKeyboard::State;
using Frame = std::vector<std::tuple<int, int, int>>; // type, code, value of one write

namespace {

const Call openCall{"open", -1, 0, O_WRONLY | O_NONBLOCK | O_CLOEXEC};

// Open, then the capability declaration (the keyboard block, so that seats take it for a
// keyboard, and the arrows) and the device, on descriptor fd.
std::vector<Call> creationOn(int fd)
{
    std::vector<Call> calls{openCall, {"ioctl", fd, UI_SET_EVBIT, EV_KEY}};
    for (int key = KEY_ESC; key <= KEY_D; ++key)
        calls.push_back({"ioctl", fd, UI_SET_KEYBIT, key});
    calls.push_back({"ioctl", fd, UI_SET_KEYBIT, KEY_LEFT});
    calls.push_back({"ioctl", fd, UI_SET_KEYBIT, KEY_RIGHT});
    calls.push_back({"ioctl", fd, UI_DEV_SETUP, 0});
    calls.push_back({"ioctl", fd, UI_DEV_CREATE, 0});
    return calls;
}

Frame frame(const RecordingUinputSystemCalls::Written& written)
{
    Frame events;
    for (const auto& event : written.events) {
        EXPECT_EQ(event.input_event_sec + event.input_event_usec, 0);
        events.emplace_back(event.type, event.code, event.value);
    }
    return events;
}

Frame keyFrame(int key, int value)
{
    return {{EV_KEY, key, value}, {EV_SYN, SYN_REPORT, 0}};
}

} // namespace

TEST(UinputKeyboardTest, MakesTheDeviceOnceAndWritesOneKeyEventAndOneSynReportPerPost)
{
    RecordingUinputSystemCalls calls;
    UinputKeyboard keyboard(calls, "/dev/test-uinput");
    EXPECT_TRUE(calls.calls.empty()) << "nothing happens before create()";
    EXPECT_EQ(keyboard.create(), State::ready);
    EXPECT_EQ(keyboard.create(), State::ready);
    EXPECT_EQ(calls.calls, creationOn(3));
    EXPECT_EQ(calls.openedPaths, std::vector<std::string>{"/dev/test-uinput"});
    ASSERT_EQ(calls.setups.size(), 1u);
    EXPECT_EQ(calls.setups[0].id.bustype, BUS_VIRTUAL);
    EXPECT_STREQ(calls.setups[0].name, "Quenlark Companion virtual keyboard");

    keyboard.post(ArrowKey::right, true);
    keyboard.post(ArrowKey::right, false);
    keyboard.post(ArrowKey::left, true);
    keyboard.post(ArrowKey::left, false);
    const std::vector<Frame> expected = {keyFrame(KEY_RIGHT, 1), keyFrame(KEY_RIGHT, 0),
                                         keyFrame(KEY_LEFT, 1), keyFrame(KEY_LEFT, 0)};
    ASSERT_EQ(calls.writes.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(calls.writes[i].fd, 3) << i;
        EXPECT_EQ(frame(calls.writes[i]), expected[i]) << i;
    }
}

TEST(UinputKeyboardTest, OpenErrorsBecomeStatesUntilAccessAppears)
{
    const struct {
        int error;
        State state;
    } table[] = {
        {EACCES, State::notPermitted}, {EPERM, State::notPermitted}, {ENOENT, State::unavailable},
        {ENODEV, State::unavailable},  {EBUSY, State::unavailable},
    };
    for (const auto& row : table) {
        RecordingUinputSystemCalls calls;
        calls.openError = row.error;
        UinputKeyboard keyboard(calls);
        EXPECT_EQ(keyboard.create(), row.state) << std::strerror(row.error);
        keyboard.post(ArrowKey::right, true);
        EXPECT_EQ(calls.calls, std::vector<Call>{openCall}) << std::strerror(row.error);
        calls.openError = 0;
        EXPECT_EQ(keyboard.create(), State::ready) << std::strerror(row.error);
    }
}

TEST(UinputKeyboardTest, ARefusedDeclarationClosesTheDescriptor)
{
    for (const unsigned long request : std::initializer_list<unsigned long>{
             UI_SET_EVBIT, UI_SET_KEYBIT, UI_DEV_SETUP, UI_DEV_CREATE}) {
        RecordingUinputSystemCalls calls;
        calls.ioctlErrors[request] = EINVAL;
        UinputKeyboard keyboard(calls);
        EXPECT_EQ(keyboard.create(), State::unavailable) << request;
        keyboard.post(ArrowKey::left, true);
        ASSERT_GE(calls.calls.size(), 3u) << request;
        EXPECT_EQ(calls.calls[calls.calls.size() - 2].request, request) << "stops at the failure";
        EXPECT_EQ(calls.calls.back(), (Call{"close", 3, 0, 0})) << request;
        EXPECT_TRUE(calls.writes.empty()) << request;
    }
}

TEST(UinputKeyboardTest, AFailedOrShortWriteReplacesTheDeviceOrLeavesNoneWhenRefused)
{
    const struct {
        const char* name;
        ssize_t result;
        int openError;
        State state;
    } table[] = {
        {"error", -EIO, 0, State::ready},
        {"nothing written", 0, 0, State::ready},
        {"half a frame", static_cast<ssize_t>(sizeof(input_event)), 0, State::ready},
        {"device gone, access gone", -ENODEV, EACCES, State::notPermitted},
    };
    for (const auto& row : table) {
        RecordingUinputSystemCalls calls;
        UinputKeyboard keyboard(calls);
        keyboard.create();
        calls.calls.clear();
        calls.writeResults.push_back(row.result);
        calls.openError = row.openError;

        keyboard.post(ArrowKey::right, true);
        EXPECT_EQ(keyboard.state(), row.state) << row.name;
        EXPECT_EQ(calls.calls[1], (Call{"ioctl", 3, UI_DEV_DESTROY, 0})) << row.name;
        EXPECT_EQ(calls.calls[2], (Call{"close", 3, 0, 0})) << row.name;
        keyboard.post(ArrowKey::right, false);
        if (row.state != State::ready) {
            EXPECT_EQ(calls.writes.size(), 1u) << "no device, no write";
            continue;
        }
        ASSERT_EQ(calls.writes.size(), 2u) << row.name;
        EXPECT_EQ(calls.writes[1].fd, 4) << "the next frame goes to the new device";
        EXPECT_EQ(frame(calls.writes[1]), keyFrame(KEY_RIGHT, 0));
    }
}

TEST(UinputKeyboardTest, DestructionRemovesTheDevice)
{
    RecordingUinputSystemCalls calls;
    {
        UinputKeyboard keyboard(calls);
        keyboard.create();
        calls.calls.clear();
    }
    EXPECT_EQ(calls.calls,
              (std::vector<Call>{{"ioctl", 3, UI_DEV_DESTROY, 0}, {"close", 3, 0, 0}}));
}
