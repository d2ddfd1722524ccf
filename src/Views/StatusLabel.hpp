// SPDX-License-Identifier: MIT
#pragma once

#include <QColor>
#include <QLabel>

namespace quenlark {

// The link state as one label: its text is the state's name, and a small filled circle drawn in
// its leading margin colours the state. Drawn rather than a widget of its own, so that assistive
// technology meets one status element and no unnamed shape.
class StatusLabel : public QLabel {
    Q_OBJECT

public:
    static constexpr int dotDiameter = 8;
    static constexpr int dotSpacing = 6;

    explicit StatusLabel(QWidget* parent = nullptr);

    QColor dotColor() const { return dotColor_; }
    void setDotColor(const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor dotColor_;
};

} // namespace quenlark
