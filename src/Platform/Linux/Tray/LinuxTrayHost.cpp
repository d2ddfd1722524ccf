// SPDX-License-Identifier: MIT
#include "Platform/Linux/Tray/LinuxTrayHost.hpp"

#include "Platform/Linux/Tray/StatusNotifierHostWatcher.hpp"
#include "Platform/Linux/Tray/XEmbedTray.hpp"

namespace quenlark {

LinuxTrayHost::LinuxTrayHost(const QDBusConnection& bus)
    : hostWatcher_(new StatusNotifierHostWatcher(bus, &context_)),
      xembed_(new XEmbedTray(&context_))
{}

LinuxTrayHost::~LinuxTrayHost() = default;

void LinuxTrayHost::start(std::function<void()> changed)
{
    QObject::connect(xembed_, &XEmbedTray::presenceChanged, &context_, changed);
    QObject::connect(hostWatcher_, &StatusNotifierHostWatcher::presenceChanged, &context_,
                     std::move(changed));
    xembed_->start();
    hostWatcher_->start();
}

std::optional<bool> LinuxTrayHost::isPresent() const
{
    const std::optional<bool> host = hostWatcher_->isHostPresent();
    // Until the bus has answered, an XEmbed tray must not win over a host that is there.
    if (!host)
        return std::nullopt;
    // A StatusNotifierItem icon never moves to an XEmbed tray; an XEmbed icon is re-docked by Qt
    // whenever such a tray returns.
    if (iconUsesStatusNotifier_)
        return *iconUsesStatusNotifier_ ? *host : xembed_->isPresent();
    return *host || xembed_->isPresent();
}

void LinuxTrayHost::iconMade()
{
    iconUsesStatusNotifier_ = hostWatcher_->isHostPresent().value_or(false);
}

} // namespace quenlark
