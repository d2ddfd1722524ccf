// SPDX-License-Identifier: MIT
#pragma once

#include <QColor>
#include <QWidget>

namespace quenlark {

// The small filled circle that colours the link state.
class StatusDot : public QWidget {
    Q_OBJECT

public:
    static constexpr int diameter = 8;

    explicit StatusDot(QWidget* parent = nullptr);

    QColor color() const { return color_; }
    void setColor(const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor color_;
};

} // namespace quenlark
