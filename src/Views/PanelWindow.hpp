// SPDX-License-Identifier: MIT
#pragma once

#include <QElapsedTimer>
#include <QFrame>
#include <QRect>

namespace quenlark {

class AccessibilityServices;
class CompanionViewModel;
class MenuBarView;

// The window that holds the panel. Under a tray icon it is a frameless popup placed at the icon
// (on Wayland, where a parentless popup is not allowed, a dialog that closes when the program
// loses focus); with no tray at all it is a small ordinary window, so the program can always be
// reached.
class PanelWindow : public QFrame {
    Q_OBJECT

public:
    enum class Kind { popup, dialog, window };

    PanelWindow(CompanionViewModel& viewModel, AccessibilityServices& accessibility,
                QWidget* parent = nullptr);

    MenuBarView* view() const { return view_; }
    Kind kind() const { return kind_; }

    static Kind kindFor(bool trayAvailable, const QString& platformName);
    // Centred under the anchor, or above it when the anchor is in the lower half of the
    // screen, and kept inside the screen's available area.
    static QPoint placement(const QRect& anchor, const QSize& size, const QRect& available);

public Q_SLOTS:
    // Without a tray the panel opens as a window at once; with one, later showings are popups.
    void setTrayAvailable(bool available);
    // A click on the tray icon: shows the panel at `anchor`, or closes it when open.
    void toggle(const QRect& anchor);
    // Shows the panel (at the last anchor) and brings it to the front.
    void showPanel();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void applyKind();

    MenuBarView* view_;
    Kind kind_ = Kind::window;
    bool trayAvailable_ = false;
    QRect anchor_;
    QElapsedTimer sinceHidden_;
};

} // namespace quenlark
