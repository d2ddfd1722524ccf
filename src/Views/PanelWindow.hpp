// SPDX-License-Identifier: MIT
#pragma once

#include <QElapsedTimer>
#include <QFrame>
#include <QRect>
#include <QTimer>

namespace quenlark {

class AccessibilityServices;
class CompanionViewModel;
class MenuBarView;

// The window that holds the panel. Under a tray icon it is a frameless tool window at the icon
// that closes on a click outside (a Qt::Popup would behave so by itself, but Qt leaves popups out
// of what assistive technology sees); on Wayland, where a parentless popup is not allowed, and
// under the macOS menu bar, where only a popup could grab the pointer, a dialog that closes when
// the program loses focus; with no tray at all a small ordinary window, so the program can always
// be reached.
class PanelWindow : public QFrame {
    Q_OBJECT

public:
    enum class Kind { popup, dialog, window };

    PanelWindow(CompanionViewModel& viewModel, AccessibilityServices& accessibility,
                QWidget* parent = nullptr);

    MenuBarView* view() const { return view_; }
    Kind kind() const { return kind_; }

    static Kind kindFor(bool trayAvailable, const QString& platformName);
    // Beside the anchor, away from the screen edge nearest to it (below or above an icon in a
    // top or bottom tray, right or left of one in a side tray) and centred on it; kept inside
    // the screen's available area.
    static QPoint placement(const QRect& anchor, const QSize& size, const QRect& available);

public Q_SLOTS:
    // Without a tray the panel opens as a window at once; a tray that arrives closes that window,
    // and the next click on its icon opens the panel there.
    void setTrayAvailable(bool available);
    // A click on the tray icon: shows the panel at `anchor`, or closes it when open. The keyboard
    // focus stays with the application in front, so clicker keys still reach it.
    void toggle(const QRect& anchor);
    // Shows the panel (at the last anchor) from the keyboard: it takes the focus, on its first
    // button.
    void showPanel();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void applyKind();
    void place();
    void grabPointer();

    MenuBarView* view_;
    Kind kind_ = Kind::window;
    bool trayAvailable_ = false;
    QRect anchor_;
    QElapsedTimer sinceHidden_;
    QTimer grabRetry_;
    int grabAttempts_ = 0;
};

} // namespace quenlark
