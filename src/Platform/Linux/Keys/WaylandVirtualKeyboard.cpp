// SPDX-License-Identifier: MIT
#include "Platform/Linux/Keys/WaylandVirtualKeyboard.hpp"

#include <chrono>
#include <utility>

namespace quenlark {

namespace {

// XKB numbers keys 8 above the Linux input codes: <LEFT> is KEY_LEFT, <RGHT> KEY_RIGHT.
static_assert(KEY_LEFT + 8 == 113 && KEY_RIGHT + 8 == 114);
const QByteArray arrowKeymap = QByteArrayLiteral(R"(xkb_keymap {
    xkb_keycodes "quenlark" { minimum = 8; maximum = 255; <LEFT> = 113; <RGHT> = 114; };
    xkb_types "quenlark" { type "ONE_LEVEL" { modifiers = none; level_name[Level1] = "Any"; }; };
    xkb_compatibility "quenlark" { };
    xkb_symbols "quenlark" { key <LEFT> { [ Left ] }; key <RGHT> { [ Right ] }; };
};
)");

std::uint32_t nowMilliseconds()
{
    using namespace std::chrono;
    return static_cast<std::uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

} // namespace

WaylandVirtualKeyboard::WaylandVirtualKeyboard(std::unique_ptr<VirtualKeyboardCalls> calls)
    : calls_(std::move(calls))
{}

KeyBackend::Presence WaylandVirtualKeyboard::presence(SessionType session)
{
    if (session != SessionType::wayland)
        return Presence::absent;
    if (!std::exchange(asked_, true))
        offered_ = calls_->bindManager();
    return offered_ ? Presence::present : Presence::absent;
}

bool WaylandVirtualKeyboard::start()
{
    if (!offered_)
        return reaches_ = false;
    if (!std::exchange(created_, true))
        calls_->createKeyboard(arrowKeymap);
    return reaches_ = calls_->flush();
}

void WaylandVirtualKeyboard::post(ArrowKey key, bool keyDown)
{
    if (!created_)
        return;
    calls_->key(nowMilliseconds(), static_cast<std::uint32_t>(evdevCode(key)), keyDown);
    calls_->flush();
}

} // namespace quenlark
