// SPDX-License-Identifier: MIT
#include "Views/PanelWindow.hpp"

#include "Views/MenuBarView.hpp"

#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

namespace quenlark {

namespace {
constexpr int anchorGap = 2;
// A click on the icon while the panel is open first closes the panel (a press outside a popup,
// or the program losing focus) and then arrives as a click: it must not open it again.
constexpr qint64 reopenGuardMilliseconds = 300;
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
    return platformName.startsWith(QLatin1String("wayland")) ? Kind::dialog : Kind::popup;
}

QPoint PanelWindow::placement(const QRect& anchor, const QSize& size, const QRect& available)
{
    const bool below = anchor.center().y() < available.center().y();
    const int x = anchor.center().x() - size.width() / 2;
    const int y =
        below ? anchor.bottom() + 1 + anchorGap : anchor.top() - anchorGap - size.height();
    const int maxX = std::max(available.left(), available.right() + 1 - size.width());
    const int maxY = std::max(available.top(), available.bottom() + 1 - size.height());
    return {std::clamp(x, available.left(), maxX), std::clamp(y, available.top(), maxY)};
}

void PanelWindow::setTrayAvailable(bool available)
{
    trayAvailable_ = available;
    if (!available) {
        // Opening on its own, the window must not take the keyboard from the presentation.
        if (isHidden()) {
            applyKind();
            setAttribute(Qt::WA_ShowWithoutActivating);
            show();
            setAttribute(Qt::WA_ShowWithoutActivating, false);
        }
        return;
    }
    // A window already open stays as it is until it is closed.
    if (isHidden())
        applyKind();
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
    showPanel();
}

void PanelWindow::showPanel()
{
    if (isHidden()) {
        applyKind();
        show();
    }
    raise();
    activateWindow();
}

void PanelWindow::showEvent(QShowEvent* event)
{
    QFrame::showEvent(event);
    if (kind_ == Kind::window)
        return;
    // The view has just brought its rows up to date; size the window before it is mapped.
    layout()->activate();
    const QRect anchor = anchor_.isValid() ? anchor_ : QRect(QCursor::pos(), QSize(1, 1));
    QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (screen)
        move(placement(anchor, size(), screen->availableGeometry()));
}

void PanelWindow::hideEvent(QHideEvent* event)
{
    QFrame::hideEvent(event);
    sinceHidden_.start();
}

void PanelWindow::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape && kind_ != Kind::window) {
        hide();
        return;
    }
    QFrame::keyPressEvent(event);
}

void PanelWindow::applyKind()
{
    kind_ = kindFor(trayAvailable_, QGuiApplication::platformName());
    switch (kind_) {
    case Kind::popup:
        setWindowFlags(Qt::Popup);
        break;
    case Kind::dialog:
        setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
        break;
    case Kind::window:
        setWindowFlags(Qt::Window);
        break;
    }
    setFrameShape(kind_ == Kind::window ? QFrame::NoFrame : QFrame::StyledPanel);
}

} // namespace quenlark
