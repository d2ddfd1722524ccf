// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Accessibility.hpp"

namespace quenlark::fakes {

class FakeAccessibility : public AccessibilityServices {
public:
    bool isProcessTrusted() override { return trusted; }
    bool isProcessTrustedWithPrompt() override
    {
        ++prompts;
        return trusted;
    }

    bool trusted = false;
    int prompts = 0;
};

} // namespace quenlark::fakes
