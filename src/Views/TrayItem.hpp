// SPDX-License-Identifier: MIT
#pragma once

#include <QDBusConnection>
#include <QIcon>
#include <QObject>
#include <QRect>
#include <QSystemTrayIcon>

namespace quenlark {

class StatusNotifierHostWatcher;
class XEmbedTray;

// The program's one tray item, "Quenlark" with the "MenuBarIcon" image. Qt settles once per
// process, when the first tray icon is made or the first question about trays is asked, whether
// StatusNotifierItem trays exist; so the icon is made only once a tray can show it (a
// StatusNotifierItem host on the session bus, else on X11 an XEmbed tray), and nothing else in
// the program should ask Qt about trays. Until then, and whenever that tray goes away, the item
// reports itself unavailable so that the panel can be offered as a window instead.
class TrayItem : public QObject {
    Q_OBJECT

public:
    explicit TrayItem(const QDBusConnection& bus = QDBusConnection::sessionBus(),
                      QObject* parent = nullptr);

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
    void makeIcon(bool statusNotifier);
    void setAvailable(bool available);
    QString toolTip() const;

    StatusNotifierHostWatcher* hostWatcher_;
    XEmbedTray* xembed_;
    QSystemTrayIcon* trayIcon_ = nullptr;
    bool iconUsesStatusNotifier_ = false;
    bool available_ = false;
    bool answered_ = false;
    QString status_;
};

} // namespace quenlark
