// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Accessibility.hpp"

#include <functional>

namespace quenlark {

class LinuxKeyEventServices;

// Trusted means the selected key backend reaches this session. The prompt is the desktop's consent
// dialog where the remote-desktop portal is the backend, else whatever grant flow the caller
// supplies (the access dialog in the application), so this stays free of widgets.
class LinuxAccessibility : public AccessibilityServices {
public:
    LinuxAccessibility(LinuxKeyEventServices& keys, std::function<void()> askForAccess);

    bool isProcessTrusted() override;
    bool isProcessTrustedWithPrompt() override;

private:
    LinuxKeyEventServices& m_keys;
    std::function<void()> m_askForAccess;
};

} // namespace quenlark
