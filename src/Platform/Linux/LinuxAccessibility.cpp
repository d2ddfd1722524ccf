// SPDX-License-Identifier: MIT
#include "Platform/Linux/LinuxAccessibility.hpp"

#include "Platform/Linux/LinuxKeyEventServices.hpp"

#include <utility>

namespace quenlark {

LinuxAccessibility::LinuxAccessibility(LinuxKeyEventServices& keys,
                                       std::function<void()> askForAccess)
    : m_keys(keys), m_askForAccess(std::move(askForAccess))
{}

bool LinuxAccessibility::isProcessTrusted()
{
    // Polled every 2 seconds: this is also how a grant made meanwhile brings the keyboard up.
    return m_keys.refreshBackend() != KeyBackend::none;
}

bool LinuxAccessibility::isProcessTrustedWithPrompt()
{
    const bool trusted = isProcessTrusted();
    if (!trusted && m_askForAccess)
        m_askForAccess();
    return trusted;
}

} // namespace quenlark
