// SPDX-License-Identifier: MIT
#pragma once

namespace quenlark {

// Whether this process may post key events into the user's session.
class AccessibilityServices {
public:
    virtual ~AccessibilityServices() = default;
    // Never shows anything.
    virtual bool isProcessTrusted() = 0;
    // Asks the user to grant access when it is missing.
    virtual bool isProcessTrustedWithPrompt() = 0;
};

} // namespace quenlark
