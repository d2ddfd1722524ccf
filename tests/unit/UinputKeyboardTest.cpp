// SPDX-License-Identifier: MIT
#include "Platform/Linux/UinputKeyboard.hpp"
#include "RecordingUinputSystemCalls.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <initializer_list>

using namespace quenlark;
using fakes::RecordingUinputSystemCalls;
using Calls = std::vector<RecordingUinputSystemCalls::Call>;
using Frame = RecordingUinputSystemCalls::Frame;

namespace {

constexpr int frameSize = 2 * sizeof(input_event);
const RecordingUinputSystemCalls::Call openCall{"open", -1, 0, O_WRONLY | O_NONBLOCK | O_CLOEXEC};

// The device on descriptor fd: seats take it for a keyboard only with the main key block.
Calls creationOn(int fd)
{
    Calls calls{openCall, {"ioctl", fd, UI_SET_EVBIT, EV_KEY}};
    for (int key = KEY_ESC; key <= KEY_D; ++key)
        calls.emplace_back("ioctl", fd, UI_SET_KEYBIT, key);
    for (const int key : {KEY_LEFT, KEY_RIGHT})
        calls.emplace_back("ioctl", fd, UI_SET_KEYBIT, key);
    calls.emplace_back("ioctl", fd, UI_DEV_SETUP, 0);
    calls.emplace_back("ioctl", fd, UI_DEV_CREATE, 0);
    return calls;
}

Frame keyFrame(int code, int value)
{
    return {{EV_KEY, code, value}, {EV_SYN, SYN_REPORT, 0}};
}

} // namespace

TEST(UinputKeyboardTest, OneDeviceTakesEachPostAsAKeyEventAndAReportAndGoesWithTheKeyboard)
{
    RecordingUinputSystemCalls calls;
    {
        UinputKeyboard keyboard(calls);
        EXPECT_EQ(keyboard.create(), UinputKeyboard::State::ready);
        EXPECT_EQ(keyboard.create(), UinputKeyboard::State::ready);
        EXPECT_EQ(calls.calls, creationOn(3)) << "made once";
        EXPECT_EQ(calls.deviceName, "Quenlark Companion virtual keyboard");
        EXPECT_EQ(calls.bus, BUS_VIRTUAL);

        keyboard.post(ArrowKey::right, true);
        keyboard.post(ArrowKey::right, false);
        keyboard.post(ArrowKey::left, true);
        keyboard.post(ArrowKey::left, false);
        EXPECT_EQ(calls.frames, (std::vector{keyFrame(KEY_RIGHT, 1), keyFrame(KEY_RIGHT, 0),
                                             keyFrame(KEY_LEFT, 1), keyFrame(KEY_LEFT, 0)}));
        calls.calls.clear();
    }
    EXPECT_EQ(calls.calls, (Calls{{"ioctl", 3, UI_DEV_DESTROY, 0}, {"close", 3, 0, 0}}));
}

TEST(UinputKeyboardTest, ARefusedDeclarationLeavesNoDeviceAndARefusedWriteReplacesIt)
{
    for (const unsigned long request : std::initializer_list<unsigned long>{
             UI_SET_EVBIT, UI_SET_KEYBIT, UI_DEV_SETUP, UI_DEV_CREATE}) {
        RecordingUinputSystemCalls calls;
        calls.failingRequest = request;
        UinputKeyboard keyboard(calls);
        EXPECT_EQ(keyboard.create(), UinputKeyboard::State::unavailable) << request;
        keyboard.post(ArrowKey::left, true);
        EXPECT_EQ(calls.calls.back(), (RecordingUinputSystemCalls::Call{"close", 3, 0, 0}));
    }

    // The refused device may hold a key down; a fresh one starts with every key up.
    const struct {
        const char* name;
        ssize_t result;
        int openError; // after the failure
    } table[] = {
        {"error", -EIO, 0},
        {"half a frame", sizeof(input_event), 0},
        {"device and access gone", -ENODEV, EACCES},
    };
    for (const auto& row : table) {
        RecordingUinputSystemCalls calls;
        UinputKeyboard keyboard(calls);
        keyboard.create();
        calls.calls.clear();
        calls.writeResults.push_back(row.result);
        calls.openError = row.openError;
        keyboard.post(ArrowKey::right, true);
        keyboard.post(ArrowKey::right, false);

        Calls expected{
            {"write", 3, 0, frameSize}, {"ioctl", 3, UI_DEV_DESTROY, 0}, {"close", 3, 0, 0}};
        if (row.openError == 0) {
            const Calls creation = creationOn(4);
            expected.insert(expected.end(), creation.begin(), creation.end());
            expected.emplace_back("write", 4, 0, frameSize);
            EXPECT_EQ(calls.frames.back(), keyFrame(KEY_RIGHT, 0)) << row.name;
        } else {
            expected.push_back(openCall);
        }
        EXPECT_EQ(calls.calls, expected) << row.name;
    }
}
