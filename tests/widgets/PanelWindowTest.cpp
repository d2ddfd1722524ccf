// SPDX-License-Identifier: MIT
#include "Views/PanelWindow.hpp"

#include "Core/UpdateChecker.hpp"
#include "FakePlatform.hpp"
#include "RowName.hpp"
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

using namespace quenlark;
using namespace quenlark::fakes;
using quenlark::testing_support::RowName;

namespace {

struct KindRow {
    const char* name;
    bool tray;
    const char* platform;
    PanelWindow::Kind kind;
};
// A popup under a tray, but a dialog on Wayland, where a parentless popup cannot be placed, and
// under the macOS menu bar.
const KindRow kindRows[] = {
    {"X11Tray", true, "xcb", PanelWindow::Kind::popup},
    {"WaylandTray", true, "wayland", PanelWindow::Kind::dialog},
    {"WaylandEglTray", true, "wayland-egl", PanelWindow::Kind::dialog},
    {"MacMenuBar", true, "cocoa", PanelWindow::Kind::dialog},
    {"NoTray", false, "wayland", PanelWindow::Kind::window},
};

class PanelWindowKindTest : public testing::TestWithParam<KindRow> {};

TEST_P(PanelWindowKindTest, PopupUnderATrayDialogOnWaylandAndMacWindowWithoutTray)
{
    const auto& row = GetParam();
    EXPECT_EQ(PanelWindow::kindFor(row.tray, QString::fromLatin1(row.platform)), row.kind);
}
INSTANTIATE_TEST_SUITE_P(Rows, PanelWindowKindTest, testing::ValuesIn(kindRows), RowName());

struct PlacementRow {
    const char* name;
    QRect icon;
    QSize size;
    QRect available;
    QPoint expected;
};
const QRect fullHd(0, 0, 1920, 1080);
const QSize panelSize(240, 200);
const PlacementRow placementRows[] = {
    {"BottomRightCorner", QRect(1890, 1056, 24, 24), panelSize, fullHd, QPoint(1680, 854)},
    {"BelowAReservedTopBar", QRect(1000, 4, 24, 24), panelSize, QRect(0, 32, 1920, 1048),
     QPoint(891, 32)},
    {"OnASecondScreen", QRect(2500, 10, 1, 1), panelSize, QRect(1920, 0, 1280, 1024),
     QPoint(2380, 13)},
    {"TallerThanTheScreen", QRect(900, 0, 24, 24), QSize(240, 2000), fullHd, QPoint(791, 0)},
    {"LeftSideTray", QRect(0, 500, 24, 24), panelSize, fullHd, QPoint(26, 411)},
    {"RightSideTray", QRect(1896, 300, 24, 24), panelSize, fullHd, QPoint(1654, 211)},
};

class PanelWindowPlacementTest : public testing::TestWithParam<PlacementRow> {};

TEST_P(PanelWindowPlacementTest, KeepsThePanelAtTheIconInsideTheAvailableScreen)
{
    const auto& row = GetParam();
    EXPECT_EQ(PanelWindow::placement(row.icon, row.size, row.available), row.expected);
}
INSTANTIATE_TEST_SUITE_P(Rows, PanelWindowPlacementTest, testing::ValuesIn(placementRows),
                         RowName());

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

// The view model's values and the rows they show.
struct ShownRow {
    const char* name;
    ConnectionState state;
    std::optional<QString> device;
    bool paired, trusted;
    std::optional<QString> version;
    std::optional<QUrl> url;
    std::string rows;
};
const std::string permissionRows = "Grant Accessibility Permission | "
                                   "Required to inject keystrokes into presentation apps. | ----";
const ShownRow shownRows[] = {
    {"Disconnected", ConnectionState::disconnected, std::nullopt, false, true, std::nullopt,
     std::nullopt, "Disconnected | ---- | Get the App | Quit"},
    {"ScanningUntrusted", ConnectionState::advertising, std::nullopt, true, false,
     QStringLiteral("2.1"), std::nullopt,
     "Scanning | ---- | Forget Device | " + permissionRows + " | Get the App | Quit"},
    {"ConnectedToANamelessDevice", ConnectionState::connected, QString(), false, true, std::nullopt,
     updateURL, "Connected | Device:  | ---- | Get the App | Quit"},
    {"MarkupShownAsIs", ConnectionState::connected, QStringLiteral("<b>Bob</b> & %1 Co"), true,
     false, QStringLiteral("2.1&<i>beta</i>"), updateURL,
     "Connected | Device: <b>Bob</b> & %1 Co | ---- | Update available \u2014 "
     "v2.1&<i>beta</i> | Forget Device | " +
         permissionRows + " | Get the App | Quit"},
};

class PanelRowsTest : public PanelWindowTest, public testing::WithParamInterface<ShownRow> {};

TEST_P(PanelRowsTest, ShowsExactlyTheRowsOfTheViewModelsValues)
{
    const auto& row = GetParam();
    vm->connectionState = row.state;
    vm->connectedDeviceName = row.device;
    vm->hasPairedDevice = row.paired;
    vm->accessibilityEnabled = row.trusted;
    vm->availableUpdateVersion = row.version;
    vm->availableUpdateURL = row.url;
    settle();
    EXPECT_EQ(shownRows(), row.rows);
}
INSTANTIATE_TEST_SUITE_P(Rows, PanelRowsTest, testing::ValuesIn(shownRows), RowName());

// The gap between the panel and the icon on the side that parts them; negative where they overlap.
int gapToIcon(const QRect& panel, const QRect& icon)
{
    return std::max({icon.top() - panel.bottom(), panel.top() - icon.bottom(),
                     panel.left() - icon.right(), icon.left() - panel.right()}) -
           1;
}

struct TrayRow {
    const char* name;
    QRect (*icon)(const QRect& screen);
};
const TrayRow trayRows[] = {
    {"Bottom", [](const QRect& screen) { return QRect(300, screen.bottom() - 21, 22, 22); }},
    {"Top", [](const QRect& screen) { return QRect(300, screen.top(), 22, 22); }},
    {"Left", [](const QRect& screen) { return QRect(screen.left(), 300, 22, 22); }},
    {"Right", [](const QRect& screen) { return QRect(screen.right() - 21, 300, 22, 22); }},
};

class PanelTrayTest : public PanelWindowTest, public testing::WithParamInterface<TrayRow> {};

// Shown rows change the panel's height while it opens (the permission granted since the last
// poll) and while it is open (a device connects): it stays against the icon, wherever the tray.
TEST_P(PanelTrayTest, StaysAgainstTheIconWhateverRowsComeAndGo)
{
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect icon = GetParam().icon(screen);
    panel->setTrayAvailable(true);
    vm->accessibilityEnabled = false;
    settle();
    panel->toggle(icon);
    settle();
    EXPECT_FALSE(panel->findChild<QWidget*>(QStringLiteral("grantButton"))->isVisible());
    EXPECT_EQ(gapToIcon(panel->geometry(), icon), 2) << "at opening";
    vm->connectedDeviceName = QStringLiteral("Clicker");
    settle();
    EXPECT_EQ(gapToIcon(panel->geometry(), icon), 2) << "with a device";
    EXPECT_TRUE(screen.contains(panel->geometry()));
    panel->hide();
    panel->toggle(icon); // the click on the icon that closed it
    EXPECT_FALSE(panel->isVisible()) << "reopened by its closing click";
}
INSTANTIATE_TEST_SUITE_P(Rows, PanelTrayTest, testing::ValuesIn(trayRows), RowName());

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
    const std::pair<const char*, Qt::Key> presses[] = {{"updateButton", Qt::Key_Return},
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
