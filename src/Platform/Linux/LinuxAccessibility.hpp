// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Accessibility.hpp"

#include <functional>

namespace quenlark {

class LinuxKeyEventServices;

// Trusted means the selected key backend reaches this session; it reads untrusted until the
// portal's presence is known. The prompt is the desktop's consent dialog where the remote-desktop
// portal is the backend, else whatever grant flow the caller supplies (the access dialog in the
// application), so this stays free of widgets. A prompt asked for before the backend is known
// waits for it, and is made only if the backend then does not reach the session.
class LinuxAccessibility : public AccessibilityServices {
public:
    LinuxAccessibility(LinuxKeyEventServices& keys, std::function<void()> askForAccess);
    ~LinuxAccessibility() override;
    LinuxAccessibility(const LinuxAccessibility&) = delete;
    LinuxAccessibility& operator=(const LinuxAccessibility&) = delete;

    bool isProcessTrusted() override;
    bool isProcessTrustedWithPrompt() override;

private:
    LinuxKeyEventServices& keys_;
    std::function<void()> askForAccess_;
    bool promptWhenSettled_ = false;
};

} // namespace quenlark
