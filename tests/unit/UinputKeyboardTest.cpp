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

namespace {

constexpr int openFlags = O_WRONLY | O_NONBLOCK | O_CLOEXEC;

// The calls that make the device on descriptor fd, after its open.
std::vector<Call> declarationOn(int fd)
{
    std::vector<Call> calls{{"ioctl", fd, UI_SET_EVBIT, EV_KEY}};
    for (int key = KEY_ESC; key <= KEY_D; ++key)
        calls.push_back({"ioctl", fd, UI_SET_KEYBIT, key});
    calls.push_back({"ioctl", fd, UI_SET_KEYBIT, KEY_LEFT});
    calls.push_back({"ioctl", fd, UI_SET_KEYBIT, KEY_RIGHT});
    calls.push_back({"ioctl", fd, UI_DEV_SETUP, 0});
    calls.push_back({"ioctl", fd, UI_DEV_CREATE, 0});
    return calls;
}

std::vector<Call> creationOn(int fd)
{
    std::vector<Call> calls{{"open", -1, 0, openFlags}};
    for (const auto& call : declarationOn(fd))
        calls.push_back(call);
    return calls;
}

std::vector<Call> destructionOf(int fd)
{
    return {{"ioctl", fd, UI_DEV_DESTROY, 0}, {"close", fd, 0, 0}};
}

std::vector<Call> concat(std::vector<Call> a, const std::vector<Call>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// type, code, value of each event of one write, with every time stamp checked to be zero.
std::vector<std::tuple<int, int, int>> frame(const RecordingUinputSystemCalls::Written& written)
{
    std::vector<std::tuple<int, int, int>> events;
    for (const auto& event : written.events) {
        EXPECT_EQ(event.input_event_sec, 0);
        EXPECT_EQ(event.input_event_usec, 0);
        events.emplace_back(event.type, event.code, event.value);
    }
    return events;
}

using Frame = std::vector<std::tuple<int, int, int>>;

} // namespace

TEST(UinputKeyboardTest, DeclaresTheKeyboardBlockAndMakesTheDeviceOnce)
{
    RecordingUinputSystemCalls calls;
    UinputKeyboard keyboard(calls, "/dev/test-uinput");
    EXPECT_EQ(keyboard.state(), State::unavailable);
    EXPECT_TRUE(calls.calls.empty()) << "nothing happens before create()";

    EXPECT_EQ(keyboard.create(), State::ready);
    EXPECT_EQ(keyboard.create(), State::ready);
    keyboard.post(ArrowKey::right, true);
    EXPECT_EQ(keyboard.create(), State::ready);

    auto expected = creationOn(3);
    expected.push_back({"write", 3, 0, 2 * static_cast<int>(sizeof(input_event))});
    EXPECT_EQ(calls.calls, expected);
    EXPECT_EQ(calls.openedPaths, std::vector<std::string>{"/dev/test-uinput"});
    ASSERT_EQ(calls.setups.size(), 1u);
    EXPECT_EQ(calls.setups[0].id.bustype, BUS_VIRTUAL);
    EXPECT_STREQ(calls.setups[0].name, "Quenlark Companion virtual keyboard");
    EXPECT_EQ(calls.setups[0].ff_effects_max, 0u);
}

TEST(UinputKeyboardTest, EachPostIsOneKeyEventAndOneSynReport)
{
    RecordingUinputSystemCalls calls;
    UinputKeyboard keyboard(calls);
    keyboard.create();
    keyboard.post(ArrowKey::right, true);
    keyboard.post(ArrowKey::right, false);
    keyboard.post(ArrowKey::left, true);
    keyboard.post(ArrowKey::left, false);

    const std::vector<Frame> expected = {
        {{EV_KEY, KEY_RIGHT, 1}, {EV_SYN, SYN_REPORT, 0}},
        {{EV_KEY, KEY_RIGHT, 0}, {EV_SYN, SYN_REPORT, 0}},
        {{EV_KEY, KEY_LEFT, 1}, {EV_SYN, SYN_REPORT, 0}},
        {{EV_KEY, KEY_LEFT, 0}, {EV_SYN, SYN_REPORT, 0}},
    };
    ASSERT_EQ(calls.writes.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(calls.writes[i].fd, 3) << i;
        EXPECT_EQ(frame(calls.writes[i]), expected[i]) << i;
    }
}

TEST(UinputKeyboardTest, OpenErrorsBecomeStatesAndNothingIsWritten)
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
        EXPECT_EQ(keyboard.state(), row.state) << std::strerror(row.error);
        keyboard.post(ArrowKey::right, true);
        EXPECT_EQ(calls.calls, (std::vector<Call>{{"open", -1, 0, openFlags}}))
            << std::strerror(row.error);
    }
}

TEST(UinputKeyboardTest, AccessThatAppearsLaterMakesTheDeviceThen)
{
    RecordingUinputSystemCalls calls;
    calls.openError = EACCES;
    UinputKeyboard keyboard(calls);
    EXPECT_EQ(keyboard.create(), State::notPermitted);
    EXPECT_EQ(keyboard.create(), State::notPermitted);
    calls.openError = 0;
    EXPECT_EQ(keyboard.create(), State::ready);

    std::vector<Call> expected{{"open", -1, 0, openFlags}, {"open", -1, 0, openFlags}};
    EXPECT_EQ(calls.calls, concat(expected, creationOn(3)));
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

TEST(UinputKeyboardTest, AFailedOrShortWriteReplacesTheDevice)
{
    const struct {
        const char* name;
        ssize_t result;
    } table[] = {
        {"error", -EIO},
        {"nothing written", 0},
        {"half a frame", static_cast<ssize_t>(sizeof(input_event))},
    };
    for (const auto& row : table) {
        RecordingUinputSystemCalls calls;
        UinputKeyboard keyboard(calls);
        keyboard.create();
        calls.calls.clear();
        calls.writeResults.push_back(row.result);

        keyboard.post(ArrowKey::right, true);
        EXPECT_EQ(keyboard.state(), State::ready) << row.name;
        const Call write{"write", 3, 0, 2 * static_cast<int>(sizeof(input_event))};
        EXPECT_EQ(calls.calls, concat(concat({write}, destructionOf(3)), creationOn(4)))
            << row.name;

        keyboard.post(ArrowKey::right, false);
        ASSERT_EQ(calls.writes.size(), 2u) << row.name;
        EXPECT_EQ(calls.writes[1].fd, 4) << "the next frame goes to the new device";
        EXPECT_EQ(frame(calls.writes[1]), (Frame{{EV_KEY, KEY_RIGHT, 0}, {EV_SYN, SYN_REPORT, 0}}));
    }
}

TEST(UinputKeyboardTest, AReplacementThatIsRefusedLeavesNoDevice)
{
    RecordingUinputSystemCalls calls;
    UinputKeyboard keyboard(calls);
    keyboard.create();
    calls.writeResults.push_back(-ENODEV);
    calls.openError = EACCES;

    keyboard.post(ArrowKey::left, true);
    EXPECT_EQ(keyboard.state(), State::notPermitted);
    keyboard.post(ArrowKey::left, false);
    EXPECT_EQ(calls.writes.size(), 1u) << "no device, no write";
}

TEST(UinputKeyboardTest, DestructionRemovesTheDevice)
{
    RecordingUinputSystemCalls calls;
    {
        UinputKeyboard keyboard(calls);
        keyboard.create();
        calls.calls.clear();
    }
    EXPECT_EQ(calls.calls, destructionOf(3));

    RecordingUinputSystemCalls unopened;
    unopened.openError = EACCES;
    {
        UinputKeyboard keyboard(unopened);
        keyboard.create();
    }
    EXPECT_EQ(unopened.calls.size(), 1u) << "nothing to remove without a device";
}
