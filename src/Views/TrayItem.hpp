// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/TrayHost.hpp"

#include <QIcon>
#include <QObject>
#include <QRect>
#include <QSystemTrayIcon>

namespace quenlark {

// The program's one tray item, "Quenlark" with the "MenuBarIcon" image. The icon is made only once
// the host can show it; until then, and whenever the host goes away, the item reports itself
// unavailable so that the panel can be offered as a window instead.
class TrayItem : public QObject {
    Q_OBJECT

public:
    explicit TrayItem(TrayHost& host, QObject* parent = nullptr);

    // The "MenuBarIcon" image resource.
    static QIcon icon();

    // Looks for a tray; the first availabilityChanged follows as soon as that is known.
    void start();
    bool isAvailable() const { return available_; }
    // The icon once it exists; null before.
    QSystemTrayIcon* systemTrayIcon() const { return trayIcon_; }
    // The state shown in the icon's tooltip, "Quenlark — Connected", so that it can be read
    // (or heard) without opening the panel.
    void setStatus(const QString& status);

Q_SIGNALS:
    // First the initial answer, then every change.
    void availabilityChanged(bool available);
    // A click on the icon; `anchor` is the icon's screen area, or the pointer's position when
    // the tray does not tell.
    void clicked(const QRect& anchor);

private:
    void evaluate();
    void makeIcon();
    void setAvailable(bool available);
    QString toolTip() const;

    TrayHost& host_;
    QSystemTrayIcon* trayIcon_ = nullptr;
    bool available_ = false;
    bool answered_ = false;
    QString status_;
};

} // namespace quenlark
