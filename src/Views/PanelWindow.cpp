// SPDX-License-Identifier: MIT
#include "Views/PanelWindow.hpp"

#include "Views/MenuBarView.hpp"

#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>

namespace quenlark {

namespace {
constexpr int anchorGap = 2;
constexpr int trayThickness = 64;
// A click on the icon while the panel is open first closes the panel (a press outside it, or
// the program losing focus) and then arrives as a click: it must not open it again.
constexpr qint64 reopenGuardMilliseconds = 300;
// The pointer can be grabbed only once the window is on screen, and not while the tray's own
// click still holds it: tried for about a second.
constexpr int grabRetryMilliseconds = 25;
constexpr int maxGrabAttempts = 40;
} // namespace

PanelWindow::PanelWindow(CompanionViewModel& viewModel, AccessibilityServices& accessibility,
                         QWidget* parent)
    : QFrame(parent), view_(new MenuBarView(viewModel, accessibility, this))
{
    setWindowTitle(tr("Quenlark"));
    // Closing the panel, in any of its kinds, never ends the program; only Quit does.
    setAttribute(Qt::WA_QuitOnClose, false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(view_);
    applyKind();

    grabRetry_.setInterval(grabRetryMilliseconds);
    connect(&grabRetry_, &QTimer::timeout, this, &PanelWindow::grabPointer);
    connect(qGuiApp, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState state) {
                if (kind_ == Kind::dialog && state != Qt::ApplicationActive)
                    hide();
            });
}

PanelWindow::Kind PanelWindow::kindFor(bool trayAvailable, const QString& platformName)
{
    if (!trayAvailable)
        return Kind::window;
    const bool asDialog =
        platformName.startsWith(QLatin1String("wayland")) || platformName == QLatin1String("cocoa");
    return asDialog ? Kind::dialog : Kind::popup;
}

QPoint PanelWindow::placement(const QRect& anchor, const QSize& size, const QRect& available)
{
    const QPoint centre = anchor.center();
    const int fromSide = std::min(centre.x() - available.left(), available.right() - centre.x());
    const int fromTopOrBottom =
        std::min(centre.y() - available.top(), available.bottom() - centre.y());
    int x = centre.x() - size.width() / 2;
    int y = centre.y() - size.height() / 2;
    // An icon this close to the top or bottom edge sits in a tray there, even in a corner.
    if (fromSide < fromTopOrBottom && fromTopOrBottom > trayThickness) {
        const bool right = centre.x() < available.center().x();
        x = right ? anchor.right() + 1 + anchorGap : anchor.left() - anchorGap - size.width();
    } else {
        const bool below = centre.y() < available.center().y();
        y = below ? anchor.bottom() + 1 + anchorGap : anchor.top() - anchorGap - size.height();
    }
    const int maxX = std::max(available.left(), available.right() + 1 - size.width());
    const int maxY = std::max(available.top(), available.bottom() + 1 - size.height());
    return {std::clamp(x, available.left(), maxX), std::clamp(y, available.top(), maxY)};
}

void PanelWindow::setTrayAvailable(bool available)
{
    trayAvailable_ = available;
    if (available) {
        // The stand-in window goes; nothing opens until the icon is clicked.
        if (kind_ == Kind::window)
            hide();
        if (isHidden())
            applyKind();
        return;
    }
    if (!isHidden() && kind_ == Kind::window)
        return;
    // Opening on its own, the window must not take the keyboard from the presentation.
    hide();
    applyKind();
    setAttribute(Qt::WA_ShowWithoutActivating);
    show();
    setAttribute(Qt::WA_ShowWithoutActivating, false);
}

void PanelWindow::toggle(const QRect& anchor)
{
    if (isVisible()) {
        hide();
        return;
    }
    if (sinceHidden_.isValid() && sinceHidden_.elapsed() < reopenGuardMilliseconds)
        return;
    anchor_ = anchor;
    applyKind();
    // The compositor decides a Wayland dialog's focus; elsewhere the presentation keeps it.
    setAttribute(Qt::WA_ShowWithoutActivating, kind_ != Kind::dialog);
    show();
    setAttribute(Qt::WA_ShowWithoutActivating, false);
    raise();
    // A click on a menu bar item leaves its program inactive; only an active one can close the
    // panel when it stops being so.
    if (QGuiApplication::platformName() == QLatin1String("cocoa"))
        activateWindow();
}

void PanelWindow::showPanel()
{
    if (isHidden()) {
        applyKind();
        show();
    }
    raise();
    activateWindow();
    view_->focusFirstButton();
}

void PanelWindow::showEvent(QShowEvent* event)
{
    QFrame::showEvent(event);
    if (kind_ == Kind::window)
        return;
    // The view has just brought its rows up to date; size the window before it is mapped.
    layout()->activate();
    if (!anchor_.isValid())
        anchor_ = QRect(QCursor::pos(), QSize(1, 1));
    place();
    // Only X11 lets a window other than a popup grab the pointer for the whole screen.
    if (kind_ == Kind::popup && QGuiApplication::platformName() == QLatin1String("xcb")) {
        grabAttempts_ = 0;
        grabRetry_.start();
    }
}

void PanelWindow::hideEvent(QHideEvent* event)
{
    QFrame::hideEvent(event);
    grabRetry_.stop();
    if (windowHandle())
        windowHandle()->setMouseGrabEnabled(false);
    // Only a panel closed by the click that also reaches the icon is kept from reopening; the
    // stand-in window going as a tray arrives is not.
    if (kind_ == Kind::window)
        sinceHidden_.invalidate();
    else
        sinceHidden_.start();
}

// Rows come and go while the panel is open (a device connects, the permission is granted): it
// stays against the icon at every size.
void PanelWindow::resizeEvent(QResizeEvent* event)
{
    QFrame::resizeEvent(event);
    if (isVisible() && kind_ != Kind::window)
        place();
}

void PanelWindow::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape && kind_ != Kind::window) {
        hide();
        return;
    }
    QFrame::keyPressEvent(event);
}

// With the pointer grabbed, a press anywhere on the screen arrives here.
void PanelWindow::mousePressEvent(QMouseEvent* event)
{
    if (kind_ == Kind::popup && !rect().contains(event->position().toPoint())) {
        hide();
        return;
    }
    QFrame::mousePressEvent(event);
}

void PanelWindow::place()
{
    QScreen* screen = QGuiApplication::screenAt(anchor_.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    // The window's own area, not its frame's: a window that had a frame as the stand-in may
    // still count one.
    if (screen)
        setGeometry(QRect(placement(anchor_, size(), screen->availableGeometry()), size()));
}

void PanelWindow::grabPointer()
{
    const bool grabbed = isVisible() && windowHandle() && windowHandle()->setMouseGrabEnabled(true);
    if (grabbed || !isVisible() || ++grabAttempts_ >= maxGrabAttempts)
        grabRetry_.stop();
}

void PanelWindow::applyKind()
{
    kind_ = kindFor(trayAvailable_, QGuiApplication::platformName());
    switch (kind_) {
    case Kind::popup:
        // Override-redirect: no window manager moves it or hands it the focus.
        setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint |
                       Qt::WindowStaysOnTopHint);
        break;
    case Kind::dialog:
        setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
        break;
    case Kind::window:
        setWindowFlags(Qt::Window);
        break;
    }
    setFrameShape(kind_ == Kind::window ? QFrame::NoFrame : QFrame::StyledPanel);
    // The border is drawn in the panel's own padding: the window stays the panel's width.
    setContentsMargins(0, 0, 0, 0);
}

} // namespace quenlark
