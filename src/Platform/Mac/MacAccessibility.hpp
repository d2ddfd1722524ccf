// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Accessibility.hpp"

namespace quenlark {

// The process's Accessibility trust, which posting key events needs, as the system keeps it.
class MacAccessibility : public AccessibilityServices {
public:
    bool isProcessTrusted() override;
    // Shows the system's prompt when the process is not yet trusted.
    bool isProcessTrustedWithPrompt() override;
};

} // namespace quenlark
