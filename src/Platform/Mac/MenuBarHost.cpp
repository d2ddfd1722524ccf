// SPDX-License-Identifier: MIT
#include "Platform/Mac/MenuBarHost.hpp"

namespace quenlark {

// Answered from the event loop, as a tray host found on a bus would be.
void MenuBarHost::start(std::function<void()> changed)
{
    QMetaObject::invokeMethod(
        &context_,
        [this, changed = std::move(changed)] {
            present_ = true;
            changed();
        },
        Qt::QueuedConnection);
}

} // namespace quenlark
