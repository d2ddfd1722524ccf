// SPDX-License-Identifier: MIT
#pragma once

#include <functional>
#include <optional>

namespace quenlark {

// Where the desktop shows the program's icon: a tray on Linux, the menu bar on macOS. Qt settles
// once per process, when the first tray icon is made, which kind of tray it uses, so the icon is
// made only once a host can show it.
class TrayHost {
public:
    virtual ~TrayHost() = default;
    // Starts looking; `changed` runs on the main thread at the first answer and at every change.
    virtual void start(std::function<void()> changed) = 0;
    // Whether the icon is shown, or would be if made now; absent until the first answer.
    virtual std::optional<bool> isPresent() const = 0;
    // The icon exists: from now on only the kind of tray that holds it counts.
    virtual void iconMade() = 0;
    // Whether the icon is drawn as a template image that takes the colour of the menu bar.
    virtual bool templateIcon() const { return false; }
};

} // namespace quenlark
