// SPDX-License-Identifier: MIT
#include "Views/TrayItem.hpp"

#include "Platform/Linux/StatusNotifierHostWatcher.hpp"
#include "Platform/Linux/XEmbedTray.hpp"

#include <QCursor>

// Outside the namespace, as Qt requires; the image lives in a static library.
static void initResources()
{
    Q_INIT_RESOURCE(quenlark);
}

namespace quenlark {

TrayItem::TrayItem(const QDBusConnection& bus, QObject* parent)
    : QObject(parent), hostWatcher_(new StatusNotifierHostWatcher(bus, this)),
      xembed_(new XEmbedTray(this))
{
    connect(xembed_, &XEmbedTray::presenceChanged, this, &TrayItem::evaluate);
    connect(hostWatcher_, &StatusNotifierHostWatcher::presenceChanged, this, &TrayItem::evaluate);
}

QIcon TrayItem::icon()
{
    initResources();
    return QIcon(QStringLiteral(":/MenuBarIcon"));
}

void TrayItem::start()
{
    xembed_->start();
    hostWatcher_->start();
}

void TrayItem::evaluate()
{
    const std::optional<bool> host = hostWatcher_->isHostPresent();
    // Until the bus has answered, an XEmbed tray must not win over a host that is there.
    if (!host)
        return;
    const bool xembed = xembed_->isPresent();
    if (!trayIcon_ && (*host || xembed))
        makeIcon(*host);
    // A StatusNotifierItem icon never moves to an XEmbed tray; an XEmbed icon is re-docked by Qt
    // whenever such a tray returns.
    setAvailable(trayIcon_ && (iconUsesStatusNotifier_ ? *host : xembed));
}

void TrayItem::makeIcon(bool statusNotifier)
{
    iconUsesStatusNotifier_ = statusNotifier;
    trayIcon_ = new QSystemTrayIcon(icon(), this);
    trayIcon_->setToolTip(toolTip());
    connect(trayIcon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::Context)
                    return;
                QRect anchor = trayIcon_->geometry();
                if (!anchor.isValid())
                    anchor = QRect(QCursor::pos(), QSize(1, 1));
                Q_EMIT clicked(anchor);
            });
    trayIcon_->show();
}

void TrayItem::setStatus(const QString& status)
{
    status_ = status;
    if (trayIcon_)
        trayIcon_->setToolTip(toolTip());
}

QString TrayItem::toolTip() const
{
    return status_.isEmpty() ? tr("Quenlark") : tr("Quenlark — %1").arg(status_);
}

void TrayItem::setAvailable(bool available)
{
    if (answered_ && available == available_)
        return;
    answered_ = true;
    available_ = available;
    Q_EMIT availabilityChanged(available);
}

} // namespace quenlark
