// SPDX-License-Identifier: MIT
#include "Platform/Linux/LinuxAccessibility.hpp"

#include "Platform/Linux/LinuxKeyEventServices.hpp"
#include "Platform/Linux/PortalKeyboard.hpp"

#include <utility>

namespace quenlark {

LinuxAccessibility::LinuxAccessibility(LinuxKeyEventServices& keys,
                                       std::function<void()> askForAccess)
    : keys_(keys), askForAccess_(std::move(askForAccess))
{
    keys_.onSettled = [this] {
        if (std::exchange(promptWhenSettled_, false))
            isProcessTrustedWithPrompt();
    };
}

LinuxAccessibility::~LinuxAccessibility()
{
    keys_.onSettled = nullptr;
}

bool LinuxAccessibility::isProcessTrusted()
{
    // Polled every 2 seconds: this is also how a grant made meanwhile brings the keyboard up.
    keys_.refreshBackend();
    return keys_.reachesSession();
}

bool LinuxAccessibility::isProcessTrustedWithPrompt()
{
    if (!keys_.settled()) {
        promptWhenSettled_ = true;
        return false;
    }
    if (isProcessTrusted())
        return true;
    // Where the portal is the way in, the desktop's own consent dialog is the prompt.
    if (keys_.backend() == KeyBackend::portal)
        keys_.portal()->requestConsent();
    else if (askForAccess_)
        askForAccess_();
    return false;
}

} // namespace quenlark
