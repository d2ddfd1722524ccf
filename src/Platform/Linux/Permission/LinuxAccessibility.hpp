// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Accessibility.hpp"

#include <QObject>

#include <functional>

namespace quenlark {

class LinuxKeyEventServices;

// Trusted means the chosen key backend reaches this session; it reads untrusted until the
// choice is settled. The prompt is the backend's own consent where it has one (the desktop's
// dialog for the remote-desktop portal), else whatever grant flow the caller supplies (the access
// dialog in the application), so this stays free of widgets; after a refused consent the grant
// flow is offered with a way to ask the desktop again. A prompt asked for before the choice is
// settled waits for it, and is made only if the backend then does not reach the session.
class LinuxAccessibility : public AccessibilityServices {
public:
    // `askForAccess` gets the way to ask the backend's own consent again, or none.
    using AskForAccess = std::function<void(std::function<void()> askAgain)>;

    LinuxAccessibility(LinuxKeyEventServices& keys, AskForAccess askForAccess);

    bool isProcessTrusted() override;
    bool isProcessTrustedWithPrompt() override;

private:
    LinuxKeyEventServices& keys_;
    AskForAccess askForAccess_;
    bool promptWhenSettled_ = false;
    // Ends the connections to the key services with this object.
    QObject context_;
};

} // namespace quenlark
