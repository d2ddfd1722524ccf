// SPDX-License-Identifier: MIT
#include "Platform/Linux/LinuxAccessibility.hpp"

#include "Platform/Linux/LinuxKeyEventServices.hpp"
#include "Platform/Linux/PortalKeyboard.hpp"

#include <utility>

namespace quenlark {

LinuxAccessibility::LinuxAccessibility(LinuxKeyEventServices& keys,
                                       std::function<void()> askForAccess)
    : m_keys(keys), m_askForAccess(std::move(askForAccess))
{}

bool LinuxAccessibility::isProcessTrusted()
{
    // Polled every 2 seconds: this is also how a grant made meanwhile brings the keyboard up.
    m_keys.refreshBackend();
    return m_keys.reachesSession();
}

bool LinuxAccessibility::isProcessTrustedWithPrompt()
{
    if (isProcessTrusted())
        return true;
    // Where the portal is the way in, the desktop's own consent dialog is the prompt.
    if (m_keys.backend() == KeyBackend::portal)
        m_keys.portal()->requestConsent();
    else if (m_askForAccess)
        m_askForAccess();
    return false;
}

} // namespace quenlark
