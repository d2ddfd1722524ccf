// SPDX-License-Identifier: MIT
#include "Platform/Linux/WaylandVirtualKeyboard.hpp"

#include <chrono>

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

WaylandVirtualKeyboard::WaylandVirtualKeyboard(VirtualKeyboardCalls& calls) : calls_(calls) {}

bool WaylandVirtualKeyboard::offered()
{
    if (!asked_) {
        asked_ = true;
        offered_ = calls_.bindManager();
    }
    return offered_;
}

bool WaylandVirtualKeyboard::create()
{
    if (!offered())
        return false;
    if (!created_) {
        created_ = true;
        calls_.createKeyboard(arrowKeymap);
    }
    return calls_.flush();
}

void WaylandVirtualKeyboard::post(ArrowKey key, bool keyDown)
{
    if (!created_)
        return;
    calls_.key(nowMilliseconds(), static_cast<std::uint32_t>(evdevCode(key)), keyDown);
    calls_.flush();
}

} // namespace quenlark
