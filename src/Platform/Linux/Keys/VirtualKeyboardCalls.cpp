// SPDX-License-Identifier: MIT
#include "Platform/Linux/Keys/VirtualKeyboardCalls.hpp"

#include "virtual-keyboard-unstable-v1-client-protocol.h"

#include <QSocketNotifier>

#include <wayland-client.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

namespace quenlark {

namespace {

void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
              std::uint32_t)
{
    static_cast<RealVirtualKeyboardCalls*>(data)->globalAdded(registry, name, interface);
}

void onGlobalRemoved(void*, wl_registry*, std::uint32_t) {}

const wl_registry_listener registryListener{onGlobal, onGlobalRemoved};

// The keymap as a sealed memory file the compositor maps: NUL-terminated, as it expects.
int keymapFile(const QByteArray& keymap)
{
    const int fd = ::memfd_create("quenlark-keymap", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return -1;
    const auto size = static_cast<std::size_t>(keymap.size()) + 1;
    if (::write(fd, keymap.constData(), size) != static_cast<ssize_t>(size) ||
        ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

RealVirtualKeyboardCalls::RealVirtualKeyboardCalls(QByteArray displayName)
    : displayName_(std::move(displayName))
{}

RealVirtualKeyboardCalls::~RealVirtualKeyboardCalls()
{
    disconnect();
}

void RealVirtualKeyboardCalls::globalAdded(wl_registry* registry, std::uint32_t name,
                                           const char* interface)
{
    if (!manager_ && std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0)
        manager_ = static_cast<zwp_virtual_keyboard_manager_v1*>(
            wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
    else if (!seat_ && std::strcmp(interface, wl_seat_interface.name) == 0)
        seat_ = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
}

bool RealVirtualKeyboardCalls::bindManager()
{
    if (display_)
        return manager_ && seat_;
    display_ = wl_display_connect(displayName_.isEmpty() ? nullptr : displayName_.constData());
    if (!display_)
        return false;
    registry_ = wl_display_get_registry(display_);
    wl_registry_add_listener(registry_, &registryListener, this);
    if (wl_display_roundtrip(display_) < 0 || !manager_ || !seat_) {
        disconnect();
        return false;
    }
    // The compositor's events (a protocol error among them) are read as they come, so that they
    // never fill the socket and a refusal is noticed.
    reader_ = std::make_unique<QSocketNotifier>(wl_display_get_fd(display_), QSocketNotifier::Read);
    QObject::connect(reader_.get(), &QSocketNotifier::activated, reader_.get(), [this] {
        if (wl_display_dispatch(display_) < 0)
            reader_->setEnabled(false);
    });
    return true;
}

void RealVirtualKeyboardCalls::createKeyboard(const QByteArray& keymap)
{
    if (!manager_ || !seat_ || keyboard_)
        return;
    const int fd = keymapFile(keymap);
    if (fd < 0)
        return;
    keyboard_ = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(manager_, seat_);
    // The request carries a duplicate of the descriptor.
    zwp_virtual_keyboard_v1_keymap(keyboard_, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                   static_cast<std::uint32_t>(keymap.size() + 1));
    ::close(fd);
}

void RealVirtualKeyboardCalls::key(std::uint32_t timeMs, std::uint32_t code, bool pressed)
{
    if (keyboard_)
        zwp_virtual_keyboard_v1_key(keyboard_, timeMs, code,
                                    pressed ? WL_KEYBOARD_KEY_STATE_PRESSED
                                            : WL_KEYBOARD_KEY_STATE_RELEASED);
}

bool RealVirtualKeyboardCalls::flush()
{
    if (!display_ || wl_display_get_error(display_) != 0)
        return false;
    return wl_display_flush(display_) >= 0 || errno == EAGAIN;
}

void RealVirtualKeyboardCalls::disconnect()
{
    reader_.reset();
    if (keyboard_)
        zwp_virtual_keyboard_v1_destroy(std::exchange(keyboard_, nullptr));
    if (manager_)
        zwp_virtual_keyboard_manager_v1_destroy(std::exchange(manager_, nullptr));
    if (seat_)
        wl_seat_destroy(std::exchange(seat_, nullptr));
    if (registry_)
        wl_registry_destroy(std::exchange(registry_, nullptr));
    if (display_)
        wl_display_disconnect(std::exchange(display_, nullptr));
}

} // namespace quenlark
