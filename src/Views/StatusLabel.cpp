// SPDX-License-Identifier: MIT
#include "Views/StatusLabel.hpp"

#include <QPainter>

namespace quenlark {

StatusLabel::StatusLabel(QWidget* parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignLeading | Qt::AlignVCenter);
    setContentsMargins(dotDiameter + dotSpacing, 0, 0, 0);
    setMinimumHeight(dotDiameter);
}

void StatusLabel::setDotColor(const QColor& color)
{
    if (color == dotColor_)
        return;
    dotColor_ = color;
    update();
}

void StatusLabel::paintEvent(QPaintEvent* event)
{
    QLabel::paintEvent(event);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(dotColor_);
    painter.drawEllipse(QRect(0, (height() - dotDiameter) / 2, dotDiameter, dotDiameter));
}

} // namespace quenlark
