// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/TrayHost.hpp"

#include <QDBusConnection>
#include <QObject>

namespace quenlark {

class StatusNotifierHostWatcher;
class XEmbedTray;

// A StatusNotifierItem host on the session bus (the tray of current desktops), else on X11 an
// XEmbed tray. Nothing in the program may ask Qt about trays: that would settle Qt's one-time view
// of the StatusNotifierItem tray before a late host has appeared.
class LinuxTrayHost : public TrayHost {
public:
    explicit LinuxTrayHost(const QDBusConnection& bus = QDBusConnection::sessionBus());
    ~LinuxTrayHost() override;

    void start(std::function<void()> changed) override;
    std::optional<bool> isPresent() const override;
    void iconMade() override;

private:
    QObject context_;
    StatusNotifierHostWatcher* hostWatcher_;
    XEmbedTray* xembed_;
    std::optional<bool> iconUsesStatusNotifier_;
};

} // namespace quenlark
