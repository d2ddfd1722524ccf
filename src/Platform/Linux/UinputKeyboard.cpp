// SPDX-License-Identifier: MIT
#include "Platform/Linux/UinputKeyboard.hpp"

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

UinputKeyboard::UinputKeyboard(UinputSystemCalls& calls, std::string path)
    : m_calls(calls), m_path(std::move(path))
{}

UinputKeyboard::~UinputKeyboard()
{
    remove();
}

UinputKeyboard::State UinputKeyboard::create()
{
    if (m_fd >= 0)
        return m_state;
    const int fd = m_calls.open(m_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        m_state = fd == -EACCES || fd == -EPERM ? State::notPermitted : State::unavailable;
        return m_state;
    }
    if (!declareKeyboard(fd)) {
        m_calls.close(fd);
        m_state = State::unavailable;
        return m_state;
    }
    m_fd = fd;
    m_state = State::ready;
    return m_state;
}

bool UinputKeyboard::declareKeyboard(int fd)
{
    if (m_calls.ioctl(fd, UI_SET_EVBIT, EV_KEY) < 0)
        return false;
    // udev and libinput take a device for a keyboard only when it has the main key block.
    for (int key = KEY_ESC; key <= KEY_D; ++key) {
        if (m_calls.ioctl(fd, UI_SET_KEYBIT, key) < 0)
            return false;
    }
    for (const int key : {KEY_LEFT, KEY_RIGHT}) {
        if (m_calls.ioctl(fd, UI_SET_KEYBIT, key) < 0)
            return false;
    }
    uinput_setup setup{};
    setup.id.bustype = BUS_VIRTUAL;
    std::memcpy(setup.name, deviceName, sizeof deviceName);
    return m_calls.ioctl(fd, UI_DEV_SETUP, setup) >= 0 && m_calls.ioctl(fd, UI_DEV_CREATE, 0) >= 0;
}

void UinputKeyboard::post(ArrowKey key, bool keyDown)
{
    if (m_fd < 0)
        return;
    input_event frame[2]{};
    frame[0].type = EV_KEY;
    frame[0].code = evdevCode(key);
    frame[0].value = keyDown ? 1 : 0;
    frame[1].type = EV_SYN;
    frame[1].code = SYN_REPORT;
    if (m_calls.write(m_fd, frame, sizeof frame) == static_cast<ssize_t>(sizeof frame))
        return;
    // The device may now hold a key down; a fresh device starts with every key up. The frame is
    // not repeated: the new device's first events would be lost anyway.
    remove();
    create();
}

void UinputKeyboard::remove()
{
    if (m_fd < 0)
        return;
    m_calls.ioctl(m_fd, UI_DEV_DESTROY, 0);
    m_calls.close(m_fd);
    m_fd = -1;
    m_state = State::unavailable;
}

} // namespace quenlark
