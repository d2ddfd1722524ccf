// SPDX-License-Identifier: MIT
#include "Views/TrayItem.hpp"

#include <QCursor>

// Outside the namespace, as Qt requires; the image lives in a static library.
static void initResources()
{
    Q_INIT_RESOURCE(quenlark);
}

namespace quenlark {

TrayItem::TrayItem(TrayHost& host, QObject* parent) : QObject(parent), host_(host) {}

QIcon TrayItem::icon()
{
    initResources();
    return QIcon(QStringLiteral(":/MenuBarIcon"));
}

void TrayItem::start()
{
    host_.start([this] { evaluate(); });
}

void TrayItem::evaluate()
{
    if (!host_.isPresent())
        return;
    if (!trayIcon_ && *host_.isPresent())
        makeIcon();
    setAvailable(trayIcon_ && host_.isPresent().value_or(false));
}

void TrayItem::makeIcon()
{
    QIcon image = icon();
    image.setIsMask(host_.templateIcon());
    trayIcon_ = new QSystemTrayIcon(image, this);
    host_.iconMade();
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
