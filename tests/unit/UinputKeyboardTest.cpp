// SPDX-License-Identifier: MIT
#include "Platform/Linux/UinputKeyboard.hpp"
#include "RecordingUinputSystemCalls.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>

using namespace quenlark;
using fakes::RecordingUinputSystemCalls;
using Calls = std::vector<RecordingUinputSystemCalls::Call>;

namespace {

const RecordingUinputSystemCalls::Call openCall{"open", -1, 0, O_WRONLY | O_NONBLOCK | O_CLOEXEC};

// Making the device on descriptor fd; seats take it for a keyboard only with the main key block.
Calls creationOn(int fd)
{
    Calls calls{openCall, {"ioctl", fd, UI_SET_EVBIT, EV_KEY}};
    for (int key = KEY_ESC; key <= KEY_D; ++key)
        calls.emplace_back("ioctl", fd, UI_SET_KEYBIT, key);
    calls.emplace_back("ioctl", fd, UI_SET_KEYBIT, KEY_LEFT);
    calls.emplace_back("ioctl", fd, UI_SET_KEYBIT, KEY_RIGHT);
    calls.emplace_back("ioctl", fd, UI_DEV_SETUP, BUS_VIRTUAL);
    calls.emplace_back("ioctl", fd, UI_DEV_CREATE, 0);
    return calls;
}

RecordingUinputSystemCalls::Frame keyFrame(int code, int value)
{
    return {{EV_KEY, code, value}, {EV_SYN, SYN_REPORT, 0}};
}

} // namespace

TEST(UinputKeyboardTest, OneDeviceTakesEachPostAsAKeyEventAndAReportUntilTheKeyboardGoes)
{
    RecordingUinputSystemCalls calls;
    {
        UinputKeyboard keyboard(calls);
        EXPECT_EQ(keyboard.create(), UinputKeyboard::State::ready);
        EXPECT_EQ(keyboard.create(), UinputKeyboard::State::ready);
        EXPECT_EQ(calls.calls, creationOn(3)) << "made once";
        EXPECT_EQ(calls.deviceName, "Quenlark Companion virtual keyboard");
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

// A device that refused a frame may hold a key down: it is replaced by a fresh one, whose keys
// are all up, and only the next frame goes there.
TEST(UinputKeyboardTest, ARefusedWriteReplacesTheDevice)
{
    const struct {
        ssize_t result;
        int openError; // once the write failed
    } table[] = {{-EIO, 0}, {sizeof(input_event), 0}, {-ENODEV, EACCES}};
    for (const auto& row : table) {
        RecordingUinputSystemCalls calls;
        UinputKeyboard keyboard(calls);
        keyboard.create();
        calls.calls.clear();
        calls.nextWriteResult = row.result;
        calls.openError = row.openError;
        keyboard.post(ArrowKey::right, true);
        keyboard.post(ArrowKey::right, false);

        const int frameSize = 2 * sizeof(input_event);
        Calls expected{
            {"write", 3, 0, frameSize}, {"ioctl", 3, UI_DEV_DESTROY, 0}, {"close", 3, 0, 0}};
        const Calls replacement = row.openError ? Calls{openCall} : creationOn(4);
        expected.insert(expected.end(), replacement.begin(), replacement.end());
        if (!row.openError)
            expected.emplace_back("write", 4, 0, frameSize);
        EXPECT_EQ(calls.calls, expected) << row.result;
    }
}
