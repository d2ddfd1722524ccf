// SPDX-License-Identifier: MIT
#include "Views/MenuBarView.hpp"

#include "Core/UpdateChecker.hpp"
#include "Models/ConnectionState.hpp"
#include "Platform/Accessibility.hpp"
#include "ViewModels/CompanionViewModel.hpp"
#include "Views/AccessibleRoles.hpp"
#include "Views/StatusLabel.hpp"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace quenlark {

namespace {
QColor dotColour(ConnectionState state)
{
    switch (state) {
    case ConnectionState::disconnected:
        return QColor(224, 68, 62);
    case ConnectionState::advertising:
        return QColor(242, 157, 56);
    case ConnectionState::connected:
        return QColor(63, 185, 80);
    }
    return {};
}

QFont scaled(QFont font, qreal factor)
{
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * factor);
    else
        font.setPixelSize(qRound(font.pixelSize() * factor));
    return font;
}

// Buttons read an ampersand as a mnemonic marker; shown values must stay verbatim.
QString escapedForButton(QString text)
{
    return text.replace(u'&', QStringLiteral("&&"));
}

// Buttons do not wrap their text: at a large font a long label gets line breaks of its own, so
// that the panel's fixed width never cuts it off. Assistive technology hears it unbroken.
void setButtonText(QPushButton* button, const QString& text)
{
    button->setAccessibleName(text);
    const QString shown = escapedForButton(text);
    button->setText(shown);
    constexpr int limit = MenuBarView::panelWidth - 2 * MenuBarView::padding;
    if (button->sizeHint().width() <= limit)
        return;
    const QFontMetrics metrics(button->font());
    const int chrome = button->sizeHint().width() - metrics.horizontalAdvance(shown);
    QStringList lines;
    for (const QString& word : shown.split(u' ')) {
        const QString longer = lines.isEmpty() ? word : lines.last() + u' ' + word;
        if (!lines.isEmpty() && metrics.horizontalAdvance(longer) + chrome <= limit)
            lines.last() = longer;
        else
            lines.append(word);
    }
    button->setText(lines.join(u'\n'));
}

QFrame* makeDivider(const QString& name, QWidget* parent)
{
    auto* divider = new QFrame(parent);
    divider->setObjectName(name);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    return divider;
}

QPushButton* makeButton(const QString& name, const QString& text, QWidget* parent,
                        bool link = false)
{
    auto* button = new QPushButton(parent);
    // Before anything that has assistive technology look at the button: it keeps its first role.
    if (link)
        AccessibleRoles::markAsLink(button);
    setButtonText(button, text);
    button->setObjectName(name);
    // Enter presses the focused button, as Space does.
    button->setAutoDefault(true);
    return button;
}

QLabel* makePlainLabel(const QString& name, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    return label;
}
} // namespace

MenuBarView::MenuBarView(CompanionViewModel& viewModel, QWidget* parent)
    : MenuBarView(viewModel, static_cast<AccessibilityServices*>(nullptr), parent)
{}

MenuBarView::MenuBarView(CompanionViewModel& viewModel, AccessibilityServices& accessibility,
                         QWidget* parent)
    : MenuBarView(viewModel, &accessibility, parent)
{}

MenuBarView::MenuBarView(CompanionViewModel& viewModel, AccessibilityServices* accessibility,
                         QWidget* parent)
    : QWidget(parent), viewModel_(&viewModel), accessibility_(accessibility)
{
    setFixedWidth(panelWidth);

    AccessibleRoles::install();
    statusText_ = new StatusLabel(this);
    statusText_->setObjectName(QStringLiteral("statusText"));

    deviceRow_ = makePlainLabel(QStringLiteral("deviceRow"), this);
    deviceRow_->setWordWrap(true);
    deviceRow_->setForegroundRole(QPalette::PlaceholderText);
    topDivider_ = makeDivider(QStringLiteral("topDivider"), this);
    updateButton_ = makeButton(QStringLiteral("updateButton"), QString(), this);
    forgetButton_ = makeButton(QStringLiteral("forgetButton"), tr("Forget Device"), this);
    grantButton_ =
        makeButton(QStringLiteral("grantButton"), tr("Grant Accessibility Permission"), this);
    grantButton_->setEnabled(accessibility_ != nullptr);
    permissionCaption_ = makePlainLabel(QStringLiteral("permissionCaption"), this);
    permissionCaption_->setText(tr("Required to inject keystrokes into presentation apps."));
    permissionCaption_->setWordWrap(true);
    permissionCaption_->setForegroundRole(QPalette::PlaceholderText);
    permissionDivider_ = makeDivider(QStringLiteral("permissionDivider"), this);
    getTheAppLink_ = makeButton(QStringLiteral("getTheAppLink"), tr("Get the App"), this, true);
    getTheAppLink_->setFlat(true);
    getTheAppLink_->setCursor(Qt::PointingHandCursor);
    getTheAppLink_->setToolTip(siteURL().toString());
    quitButton_ = makeButton(QStringLiteral("quitButton"), tr("Quit"), this);
    // After the text: setting a button's text replaces its shortcut with the text's mnemonic.
    quitButton_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    auto* column = new QVBoxLayout(this);
    column->setSpacing(spacing);
    column->setContentsMargins(padding, padding, padding, padding);
    column->addWidget(statusText_);
    column->addWidget(deviceRow_);
    column->addWidget(topDivider_);
    column->addWidget(updateButton_, 0, Qt::AlignLeft);
    column->addWidget(forgetButton_, 0, Qt::AlignLeft);
    column->addWidget(grantButton_, 0, Qt::AlignLeft);
    column->addWidget(permissionCaption_);
    column->addWidget(permissionDivider_);
    column->addWidget(getTheAppLink_, 0, Qt::AlignLeft);
    column->addWidget(quitButton_, 0, Qt::AlignLeft);

    connect(updateButton_, &QPushButton::clicked, this, &MenuBarView::openUpdate);
    connect(forgetButton_, &QPushButton::clicked, this, [this] {
        if (viewModel_)
            viewModel_->forgetDevice();
    });
    connect(grantButton_, &QPushButton::clicked, this, &MenuBarView::grantPermission);
    connect(getTheAppLink_, &QPushButton::clicked, this,
            [] { QDesktopServices::openUrl(siteURL()); });
    connect(quitButton_, &QPushButton::clicked, this, &QCoreApplication::quit);
    connect(&viewModel, &CompanionViewModel::objectWillChange, this, &MenuBarView::scheduleRefresh);

    applyRoles();
    refresh();
}

void MenuBarView::focusFirstButton()
{
    for (QPushButton* button :
         {updateButton_, forgetButton_, grantButton_, getTheAppLink_, quitButton_}) {
        if (button->isVisibleTo(this) && button->isEnabled()) {
            button->setFocus(Qt::TabFocusReason);
            return;
        }
    }
}

void MenuBarView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // A grant made since the last poll shows at once, before the panel is painted.
    if (viewModel_ && accessibility_) {
        viewModel_->accessibilityEnabled = accessibility_->isProcessTrusted();
        refresh();
    }
}

void MenuBarView::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::FontChange)
        applyRoles();
}

// The announcement comes before the value is stored, so the panel reads the values a turn of
// the event loop later; a burst of changes costs one refresh.
void MenuBarView::scheduleRefresh()
{
    if (refreshPending_)
        return;
    refreshPending_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            refreshPending_ = false;
            refresh();
        },
        Qt::QueuedConnection);
}

void MenuBarView::refresh()
{
    if (!viewModel_)
        return;
    const CompanionViewModel& vm = *viewModel_;

    const ConnectionState state = vm.connectionState.value();
    statusText_->setDotColor(dotColour(state));
    statusText_->setText(rawValue(state));

    const auto& deviceName = vm.connectedDeviceName.value();
    if (deviceName)
        deviceRow_->setText(tr("Device: %1").arg(*deviceName));
    deviceRow_->setVisible(deviceName.has_value());

    const auto& version = vm.availableUpdateVersion.value();
    const auto& url = vm.availableUpdateURL.value();
    updateURL_ = version && url ? url : std::nullopt;
    if (updateURL_)
        setButtonText(updateButton_, tr("Update available — v%1").arg(*version));
    updateButton_->setVisible(updateURL_.has_value());

    forgetButton_->setVisible(vm.hasPairedDevice.value());

    const bool permissionMissing = !vm.accessibilityEnabled.value();
    grantButton_->setVisible(permissionMissing);
    permissionCaption_->setVisible(permissionMissing);
    permissionDivider_->setVisible(permissionMissing);
}

void MenuBarView::applyRoles()
{
    const QFont base = font();
    QFont headline = base;
    headline.setWeight(QFont::DemiBold);
    statusText_->setFont(headline);
    deviceRow_->setFont(scaled(base, 0.92));
    permissionCaption_->setFont(scaled(base, 0.85));
    for (QPushButton* button : {updateButton_, forgetButton_, grantButton_, getTheAppLink_})
        setButtonText(button, button->accessibleName());

    // Qt 6.4 has no accent role; the selection colour is the platform's accent.
    const QColor accent = palette().color(QPalette::Highlight);
    for (QPushButton* button : {updateButton_, getTheAppLink_}) {
        QPalette buttonPalette = button->palette();
        buttonPalette.setColor(QPalette::ButtonText, accent);
        button->setPalette(buttonPalette);
    }
}

void MenuBarView::openUpdate()
{
    if (updateURL_)
        QDesktopServices::openUrl(*updateURL_);
}

void MenuBarView::grantPermission()
{
    if (accessibility_)
        accessibility_->isProcessTrustedWithPrompt();
}

} // namespace quenlark
