// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>

#include <cstdint>
#include <memory>

struct wl_display;
struct wl_registry;
struct wl_seat;
struct zwp_virtual_keyboard_manager_v1;
struct zwp_virtual_keyboard_v1;
class QSocketNotifier;

namespace quenlark {

// The Wayland requests the virtual keyboard makes on the program's own connection to the
// compositor, behind a seam so that tests see each one.
class VirtualKeyboardCalls {
public:
    virtual ~VirtualKeyboardCalls() = default;
    // Connects and binds the virtual keyboard manager and a seat; false when the compositor
    // offers either not, or cannot be reached.
    virtual bool bindManager() = 0;
    // Makes the seat's virtual keyboard and hands it the keymap, XKB text.
    virtual void createKeyboard(const QByteArray& keymap) = 0;
    // A key by its Linux input code; the time in milliseconds of one steady clock.
    virtual void key(std::uint32_t timeMs, std::uint32_t code, bool pressed) = 0;
    // Sends what is queued. False once the connection is lost: the compositor went, or refused a
    // request.
    virtual bool flush() = 0;
};

class RealVirtualKeyboardCalls : public VirtualKeyboardCalls {
public:
    // The display name as WAYLAND_DISPLAY gives it; empty means the default.
    explicit RealVirtualKeyboardCalls(QByteArray displayName);
    ~RealVirtualKeyboardCalls() override;
    RealVirtualKeyboardCalls(const RealVirtualKeyboardCalls&) = delete;
    RealVirtualKeyboardCalls& operator=(const RealVirtualKeyboardCalls&) = delete;

    bool bindManager() override;
    void createKeyboard(const QByteArray& keymap) override;
    void key(std::uint32_t timeMs, std::uint32_t code, bool pressed) override;
    bool flush() override;

    // Registry callbacks.
    void globalAdded(wl_registry* registry, std::uint32_t name, const char* interface);

private:
    void disconnect();

    QByteArray displayName_;
    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr;
    wl_seat* seat_ = nullptr;
    zwp_virtual_keyboard_manager_v1* manager_ = nullptr;
    zwp_virtual_keyboard_v1* keyboard_ = nullptr;
    std::unique_ptr<QSocketNotifier> reader_;
};

} // namespace quenlark
