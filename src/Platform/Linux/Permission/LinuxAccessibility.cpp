// SPDX-License-Identifier: MIT
#include "Platform/Linux/Permission/LinuxAccessibility.hpp"

#include "Platform/Linux/Keys/LinuxKeyEventServices.hpp"

#include <QPointer>

#include <utility>

namespace quenlark {

LinuxAccessibility::LinuxAccessibility(LinuxKeyEventServices& keys, AskForAccess askForAccess)
    : keys_(keys), askForAccess_(std::move(askForAccess))
{
    QObject::connect(&keys_, &LinuxKeyEventServices::settled, &context_, [this] {
        if (std::exchange(promptWhenSettled_, false))
            isProcessTrustedWithPrompt();
    });
    QObject::connect(&keys_, &LinuxKeyEventServices::consentRefused, &context_,
                     [this](KeyBackend* backend) {
                         if (askForAccess_)
                             askForAccess_([backend = QPointer<KeyBackend>(backend)] {
                                 if (backend)
                                     backend->requestConsent();
                             });
                     });
}

bool LinuxAccessibility::isProcessTrusted()
{
    // Polled every 2 seconds: the ways in are asked again, so a grant made meanwhile shows here.
    keys_.refresh();
    return keys_.reachesSession();
}

bool LinuxAccessibility::isProcessTrustedWithPrompt()
{
    if (!keys_.isSettled()) {
        promptWhenSettled_ = true;
        return false;
    }
    if (isProcessTrusted())
        return true;
    // Where the chosen way has a consent of its own (the desktop's dialog), that is the prompt.
    KeyBackend* chosen = keys_.chosen();
    if ((!chosen || !chosen->requestConsent()) && askForAccess_)
        askForAccess_({});
    return false;
}

} // namespace quenlark
