// SPDX-License-Identifier: MIT
#include "Platform/Linux/Keys/UinputKeyboard.hpp"

#include <fcntl.h>
#include <linux/input.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace quenlark {

namespace {
constexpr char deviceName[] = "Quenlark Companion virtual keyboard";
static_assert(sizeof deviceName <= UINPUT_MAX_NAME_SIZE);
} // namespace

UinputKeyboard::UinputKeyboard(std::unique_ptr<UinputSystemCalls> calls, std::string path)
    : calls_(std::move(calls)), path_(std::move(path))
{}

UinputKeyboard::~UinputKeyboard()
{
    stop();
}

KeyBackend::Presence UinputKeyboard::presence(SessionType)
{
    if (fd_ >= 0)
        return Presence::present;
    const int fd = calls_->open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        state_ = fd == -EACCES || fd == -EPERM ? State::notPermitted : State::unavailable;
        return Presence::absent;
    }
    fd_ = fd;
    return Presence::present;
}

bool UinputKeyboard::start()
{
    if (fd_ < 0 || state_ == State::ready)
        return reachesSession();
    if (!declareKeyboard(fd_)) {
        calls_->close(fd_);
        fd_ = -1;
        state_ = State::unavailable;
        return false;
    }
    state_ = State::ready;
    return true;
}

UinputKeyboard::State UinputKeyboard::create()
{
    if (presence(SessionType::other) == Presence::present)
        start();
    return state_;
}

bool UinputKeyboard::declareKeyboard(int fd)
{
    if (calls_->ioctl(fd, UI_SET_EVBIT, EV_KEY) < 0)
        return false;
    // udev and libinput take a device for a keyboard only when it has the main key block.
    for (int key = KEY_ESC; key <= KEY_D; ++key) {
        if (calls_->ioctl(fd, UI_SET_KEYBIT, key) < 0)
            return false;
    }
    for (const int key : {KEY_LEFT, KEY_RIGHT}) {
        if (calls_->ioctl(fd, UI_SET_KEYBIT, key) < 0)
            return false;
    }
    uinput_setup setup{};
    setup.id.bustype = BUS_VIRTUAL;
    std::memcpy(setup.name, deviceName, sizeof deviceName);
    return calls_->ioctl(fd, UI_DEV_SETUP, setup) >= 0 && calls_->ioctl(fd, UI_DEV_CREATE, 0) >= 0;
}

void UinputKeyboard::post(ArrowKey key, bool keyDown)
{
    if (fd_ < 0)
        return;
    input_event frame[2]{};
    frame[0].type = EV_KEY;
    frame[0].code = evdevCode(key);
    frame[0].value = keyDown ? 1 : 0;
    frame[1].type = EV_SYN;
    frame[1].code = SYN_REPORT;
    if (calls_->write(fd_, frame, sizeof frame) == static_cast<ssize_t>(sizeof frame))
        return;
    // The device may now hold a key down; a fresh device starts with every key up. The frame is
    // not repeated: the new device's first events would be lost anyway.
    stop();
    create();
}

void UinputKeyboard::stop()
{
    if (fd_ < 0)
        return;
    if (state_ == State::ready)
        calls_->ioctl(fd_, UI_DEV_DESTROY, 0);
    calls_->close(fd_);
    fd_ = -1;
    state_ = State::unavailable;
}

} // namespace quenlark
