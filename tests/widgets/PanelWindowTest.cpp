// SPDX-License-Identifier: MIT
#include "Views/PanelWindow.hpp"

#include "Core/UpdateChecker.hpp"
#include "FakePlatform.hpp"
#include "ViewModels/CompanionViewModel.hpp"
#include "Views/MenuBarView.hpp"
#include "Views/TrayItem.hpp"

#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <tuple>

using namespace quenlark;
using namespace quenlark::fakes;

namespace {

// A popup under a tray, but a dialog on Wayland, where a parentless popup cannot be placed, and
// under the macOS menu bar.
TEST(PanelWindowKindTest, PopupUnderATrayDialogOnWaylandAndMacWindowWithoutTray)
{
    using Kind = PanelWindow::Kind;
    const std::tuple<bool, const char*, Kind> table[] = {
        {true, "xcb", Kind::popup},          {true, "wayland", Kind::dialog},
        {true, "wayland-egl", Kind::dialog}, {true, "cocoa", Kind::dialog},
        {false, "wayland", Kind::window},
    };
    for (const auto& [tray, platform, kind] : table)
        EXPECT_EQ(PanelWindow::kindFor(tray, QString::fromLatin1(platform)), kind) << platform;
}

TEST(PanelWindowPlacementTest, KeepsThePanelAtTheIconInsideTheAvailableScreen)
{
    const QRect fullHd(0, 0, 1920, 1080);
    const QSize panel(240, 200);
    const std::tuple<const char*, QRect, QSize, QRect, QPoint> table[] = {
        {"bottom right corner", QRect(1890, 1056, 24, 24), panel, fullHd, QPoint(1680, 854)},
        {"below a reserved top bar", QRect(1000, 4, 24, 24), panel, QRect(0, 32, 1920, 1048),
         QPoint(891, 32)},
        {"on a second screen", QRect(2500, 10, 1, 1), panel, QRect(1920, 0, 1280, 1024),
         QPoint(2380, 13)},
        {"taller than the screen", QRect(900, 0, 24, 24), QSize(240, 2000), fullHd, QPoint(791, 0)},
        {"left side tray", QRect(0, 500, 24, 24), panel, fullHd, QPoint(26, 411)},
        {"right side tray", QRect(1896, 300, 24, 24), panel, fullHd, QPoint(1654, 211)},
    };
    for (const auto& [name, icon, size, available, expected] : table)
        EXPECT_EQ(PanelWindow::placement(icon, size, available), expected) << name;
}

const QUrl updateURL(QStringLiteral("https://downloads.example.org/quenlark-2.1.tar.gz"));
const QString savedKey = QStringLiteral("savedPeripheralUUID");

// The view model's bindings post their assignments, whose announcements post the panel's refresh.
void settle()
{
    for (int round = 0; round < 4; ++round)
        QCoreApplication::sendPostedEvents();
}

// The panel of a program on the fakes that remembers a clicker; takes the https addresses it opens.
class PanelWindowTest : public QObject, public ::testing::Test {
    Q_OBJECT

protected:
    void SetUp() override
    {
        QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "open");
        platform.accessibility.trusted = true;
        platform.defaults.setString(QUuid::createUuid().toString(QUuid::WithoutBraces), savedKey);
        vm = std::make_unique<CompanionViewModel>(platform);
        panel = std::make_unique<PanelWindow>(*vm, platform.accessibility);
        settle();
    }
    void TearDown() override { QDesktopServices::unsetUrlHandler(QStringLiteral("https")); }

    // The column's shown rows, top to bottom and as drawn, "----" for a divider.
    std::string shownRows() const
    {
        QStringList rows;
        QLayout* column = panel->view()->layout();
        for (int i = 0; i < column->count(); ++i) {
            QWidget* row = column->itemAt(i)->widget();
            if (!row->isVisibleTo(panel.get()))
                continue;
            // The status row holds its text in a label of its own.
            const auto* label =
                row->findChild<QLabel*>() ? row->findChild<QLabel*>() : qobject_cast<QLabel*>(row);
            QString text = label ? label->text() : row->property("text").toString();
            EXPECT_TRUE(!label || label->textFormat() == Qt::PlainText) << "markup is shown as is";
            // A button draws "&&" as one ampersand, and a lone one not at all: it marks a mnemonic.
            if (qobject_cast<QPushButton*>(row))
                text.replace(QRegularExpression(QStringLiteral("&(.)")), QStringLiteral("\\1"));
            text.replace(u'\n', u' '); // a long button label wraps
            rows << (text.isNull() ? QStringLiteral("----") : text);
        }
        return rows.join(QStringLiteral(" | ")).toStdString();
    }

    FakePlatform platform;
    std::unique_ptr<CompanionViewModel> vm;
    std::unique_ptr<PanelWindow> panel;
    QList<QUrl> opened;

private Q_SLOTS:
    void open(const QUrl& url) { opened.append(url); }
};

TEST_F(PanelWindowTest, ShowsExactlyTheRowsOfTheViewModelsValues)
{
    const std::nullopt_t none = std::nullopt;
    const std::string permission = "Grant Accessibility Permission | "
                                   "Required to inject keystrokes into presentation apps. | ----";
    // State, device name, remembered, trusted, update version and address: the rows.
    const std::tuple<ConnectionState, std::optional<QString>, bool, bool, std::optional<QString>,
                     std::optional<QUrl>, std::string>
        cases[] = {
            {ConnectionState::disconnected, none, false, true, none, none,
             "Disconnected | ---- | Get the App | Quit"},
            {ConnectionState::advertising, none, true, false, QStringLiteral("2.1"), none,
             "Scanning | ---- | Forget Device | " + permission + " | Get the App | Quit"},
            {ConnectionState::connected, QString(), false, true, none, updateURL,
             "Connected | Device:  | ---- | Get the App | Quit"},
            {ConnectionState::connected, QStringLiteral("<b>Bob</b> & %1 Co"), true, false,
             QStringLiteral("2.1&<i>beta</i>"), updateURL,
             "Connected | Device: <b>Bob</b> & %1 Co | ---- | Update available \u2014 "
             "v2.1&<i>beta</i> | Forget Device | " +
                 permission + " | Get the App | Quit"},
        };
    for (const auto& [state, device, paired, trusted, version, url, rows] : cases) {
        vm->connectionState = state;
        vm->connectedDeviceName = device;
        vm->hasPairedDevice = paired;
        vm->accessibilityEnabled = trusted;
        vm->availableUpdateVersion = version;
        vm->availableUpdateURL = url;
        settle();
        EXPECT_EQ(shownRows(), rows);
    }
}

// The gap between the panel and the icon on the side that parts them; negative where they overlap.
int gapToIcon(const QRect& panel, const QRect& icon)
{
    return std::max({icon.top() - panel.bottom(), panel.top() - icon.bottom(),
                     panel.left() - icon.right(), icon.left() - panel.right()}) -
           1;
}

// Shown rows change the panel's height while it opens (the permission granted since the last
// poll) and while it is open (a device connects): it stays against the icon, wherever the tray.
TEST_F(PanelWindowTest, StaysAgainstTheIconWhateverRowsComeAndGo)
{
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect trays[] = {QRect(300, screen.bottom() - 21, 22, 22),
                           QRect(300, screen.top(), 22, 22), QRect(screen.left(), 300, 22, 22),
                           QRect(screen.right() - 21, 300, 22, 22)};
    panel->setTrayAvailable(true);
    for (const QRect& icon : trays) {
        vm->accessibilityEnabled = false;
        vm->connectedDeviceName = std::nullopt;
        settle();
        QTest::qWait(350); // the guard against reopening at once
        panel->toggle(icon);
        settle();
        EXPECT_FALSE(panel->findChild<QWidget*>(QStringLiteral("grantButton"))->isVisible());
        EXPECT_EQ(gapToIcon(panel->geometry(), icon), 2) << "at opening, " << icon.x();
        vm->connectedDeviceName = QStringLiteral("Clicker");
        settle();
        EXPECT_EQ(gapToIcon(panel->geometry(), icon), 2) << "with a device, " << icon.x();
        EXPECT_TRUE(screen.contains(panel->geometry())) << icon.x();
        panel->hide();
        panel->toggle(icon); // the click on the icon that closed it
        EXPECT_FALSE(panel->isVisible()) << "reopened by its closing click, " << icon.x();
    }
}

TEST_F(PanelWindowTest, FromTheKeyboardTheRowsAreWalkedAndPressed)
{
    vm->availableUpdateVersion = QStringLiteral("2.1");
    vm->availableUpdateURL = updateURL;
    platform.accessibility.trusted = false;
    panel->setTrayAvailable(true);
    panel->showPanel();
    ASSERT_TRUE(QTest::qWaitForWindowActive(panel.get()));
    const auto focused = [] {
        return QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString();
    };
    EXPECT_EQ(focused(), QStringLiteral("updateButton"));
    QStringList walked;
    for (const Qt::Key key :
         {Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Backtab}) {
        QTest::keyClick(QApplication::focusWidget(), key);
        walked << focused();
    }
    EXPECT_EQ(walked.join(u' '), QStringLiteral("forgetButton grantButton getTheAppLink "
                                                "quitButton updateButton quitButton"));

    // Enter and Space press the focused row; each action reaches its target.
    const std::tuple<const char*, Qt::Key> presses[] = {{"updateButton", Qt::Key_Return},
                                                        {"getTheAppLink", Qt::Key_Space},
                                                        {"grantButton", Qt::Key_Enter},
                                                        {"forgetButton", Qt::Key_Space}};
    for (const auto& [name, key] : presses) {
        panel->findChild<QWidget*>(QLatin1String(name))->setFocus();
        QTest::keyClick(QApplication::focusWidget(), key);
    }
    QTest::qWait(300); // a pressed space clicks once the button is let go
    EXPECT_EQ(opened, (QList<QUrl>{updateURL, siteURL()}));
    // Granting only prompts: the answer arrives through the poll or the next showing.
    EXPECT_EQ(platform.accessibility.prompts, 1);
    // Forgetting reaches the link, which drops the remembered clicker.
    EXPECT_FALSE(platform.defaults.stringForKey(savedKey).has_value());

    // Control-Q ends the program; a loop that nothing quits ends with another status.
    QTimer::singleShot(0, panel.get(),
                       [this] { QTest::keyClick(panel.get(), Qt::Key_Q, Qt::ControlModifier); });
    QTimer::singleShot(20000, panel.get(), [] { QCoreApplication::exit(2); });
    EXPECT_EQ(QApplication::exec(), 0);
    QWidget* quit = panel->findChild<QWidget*>(QStringLiteral("quitButton"));
    quit->setFocus();
    QTest::keyClick(quit, Qt::Key_Escape);
    EXPECT_FALSE(panel->isVisible());
    // Opened again, it starts on the first button, not where the focus was left.
    panel->showPanel();
    ASSERT_TRUE(QTest::qWaitForWindowActive(panel.get()));
    EXPECT_EQ(focused(), QStringLiteral("updateButton"));
}

// At 1.5 and 2 device pixels per pixel (QT_SCALE_FACTOR, set by the test run) and with a large
// desktop font: the panel keeps its width, every row is shown whole and the icon is sharp.
TEST_F(PanelWindowTest, LargeTextAndHighDensityScreensShowEveryRowWhole)
{
    const QFont original = QApplication::font();
    QFont large = original;
    large.setPointSizeF(large.pointSizeF() * 1.6);
    QApplication::setFont(large);
    vm->connectionState = ConnectionState::connected;
    vm->connectedDeviceName = QStringLiteral("Presenter Clicker of the Lecture Hall");
    vm->availableUpdateVersion = QStringLiteral("12.10.3");
    vm->availableUpdateURL = updateURL;
    vm->accessibilityEnabled = false;
    platform.accessibility.trusted = false;
    panel->setTrayAvailable(true);
    panel->toggle(QRect(300, 0, 22, 22));
    settle();
    EXPECT_EQ(panel->width(), MenuBarView::panelWidth);
    for (QWidget* row : panel->view()->findChildren<QWidget*>()) {
        if (!row->isVisible())
            continue;
        SCOPED_TRACE(row->objectName().toStdString());
        const auto* label = qobject_cast<QLabel*>(row);
        const bool wraps = label && label->wordWrap();
        EXPECT_GE(row->height(),
                  wraps ? label->heightForWidth(label->width()) : row->sizeHint().height());
        EXPECT_GE(row->width(), wraps ? 0 : row->sizeHint().width());
        EXPECT_LE(row->geometry().right(), MenuBarView::panelWidth - MenuBarView::padding - 1);
    }
    const qreal ratio = qEnvironmentVariable("QT_SCALE_FACTOR", QStringLiteral("1")).toDouble();
    EXPECT_EQ(TrayItem::icon().pixmap(QSize(22, 22), ratio).size(), QSize(22, 22) * ratio);
    if (qEnvironmentVariableIsSet("QUENLARK_SCREENSHOT_DIR"))
        panel->grab().save(qEnvironmentVariable("QUENLARK_SCREENSHOT_DIR") +
                           QStringLiteral("/panel-large-text-x%1.png").arg(ratio));
    QApplication::setFont(original);
}

} // namespace

#include "PanelWindowTest.moc"
