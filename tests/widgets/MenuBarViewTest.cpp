// SPDX-License-Identifier: MIT
#include "Views/MenuBarView.hpp"

#include "Core/UpdateChecker.hpp"
#include "FakePlatform.hpp"
#include "ViewModels/CompanionViewModel.hpp"
#include "Views/StatusDot.hpp"
#include "WidgetTestSupport.hpp"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>

using namespace quenlark;
using namespace quenlark::fakes;
using quenlark::testing::settle;
using quenlark::testing::UrlRecorder;

namespace {

const QString savedKey = QStringLiteral("savedPeripheralUUID");

class MenuBarViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform.accessibility.trusted = true;
        vm = std::make_unique<CompanionViewModel>(platform);
        view = std::make_unique<MenuBarView>(*vm, platform.accessibility);
        view->show();
        settle();
    }

    template <typename T = QWidget> T* child(const char* name) const
    {
        auto* found = view->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    // The names of the column's shown children, top to bottom.
    QStringList shownRows() const
    {
        QStringList rows;
        QLayout* column = view->layout();
        for (int i = 0; i < column->count(); ++i) {
            QWidget* row = column->itemAt(i)->widget();
            if (row && row->isVisible())
                rows << row->objectName();
        }
        return rows;
    }

    QList<QWidget*> shownRowWidgets() const
    {
        QList<QWidget*> rows;
        for (const QString& name : shownRows())
            rows << view->findChild<QWidget*>(name);
        return rows;
    }

    FakePlatform platform;
    std::unique_ptr<CompanionViewModel> vm;
    std::unique_ptr<MenuBarView> view;
};

struct PanelCase {
    const char* name;
    ConnectionState state;
    std::optional<QString> device;
    bool paired;
    bool trusted;
    std::optional<QString> version;
    std::optional<QUrl> url;
    QStringList rows;
};

void PrintTo(const PanelCase& c, std::ostream* os)
{
    *os << c.name;
}

const QUrl updateURL(QStringLiteral("https://downloads.example.org/quenlark-2.1.tar.gz"));

const QStringList everyRow{QStringLiteral("statusRow"),         QStringLiteral("deviceRow"),
                           QStringLiteral("topDivider"),        QStringLiteral("updateButton"),
                           QStringLiteral("forgetButton"),      QStringLiteral("grantButton"),
                           QStringLiteral("permissionCaption"), QStringLiteral("permissionDivider"),
                           QStringLiteral("getTheAppLink"),     QStringLiteral("quitButton")};

QStringList rowsOf(std::initializer_list<const char*> names)
{
    QStringList rows;
    for (const char* name : names)
        rows << QString::fromLatin1(name);
    return rows;
}

const PanelCase panelCases[] = {
    {"NothingToShow", ConnectionState::disconnected, std::nullopt, false, true, std::nullopt,
     std::nullopt, rowsOf({"statusRow", "topDivider", "getTheAppLink", "quitButton"})},
    {"ScanningWithRememberedDevice", ConnectionState::advertising, std::nullopt, true, true,
     std::nullopt, std::nullopt,
     rowsOf({"statusRow", "topDivider", "forgetButton", "getTheAppLink", "quitButton"})},
    {"DisconnectedWithRememberedDevice", ConnectionState::disconnected, std::nullopt, true, true,
     std::nullopt, std::nullopt,
     rowsOf({"statusRow", "topDivider", "forgetButton", "getTheAppLink", "quitButton"})},
    {"ConnectedButNotRemembered", ConnectionState::connected, QStringLiteral("Podium"), false, true,
     std::nullopt, std::nullopt,
     rowsOf({"statusRow", "deviceRow", "topDivider", "getTheAppLink", "quitButton"})},
    {"EmptyDeviceName", ConnectionState::connected, QString(), true, true, std::nullopt,
     std::nullopt,
     rowsOf(
         {"statusRow", "deviceRow", "topDivider", "forgetButton", "getTheAppLink", "quitButton"})},
    {"VersionWithoutAddress", ConnectionState::disconnected, std::nullopt, false, true,
     QStringLiteral("2.1"), std::nullopt,
     rowsOf({"statusRow", "topDivider", "getTheAppLink", "quitButton"})},
    {"AddressWithoutVersion", ConnectionState::disconnected, std::nullopt, false, true,
     std::nullopt, updateURL, rowsOf({"statusRow", "topDivider", "getTheAppLink", "quitButton"})},
    {"UpdateOffered", ConnectionState::disconnected, std::nullopt, false, true,
     QStringLiteral("2.1"), updateURL,
     rowsOf({"statusRow", "topDivider", "updateButton", "getTheAppLink", "quitButton"})},
    {"PermissionMissing", ConnectionState::disconnected, std::nullopt, false, false, std::nullopt,
     std::nullopt,
     rowsOf({"statusRow", "topDivider", "grantButton", "permissionCaption", "permissionDivider",
             "getTheAppLink", "quitButton"})},
    {"Everything", ConnectionState::connected, QStringLiteral("Podium"), true, false,
     QStringLiteral("2.1"), updateURL, everyRow},
};

class MenuBarViewRowsTest : public MenuBarViewTest,
                            public ::testing::WithParamInterface<PanelCase> {};

TEST_P(MenuBarViewRowsTest, ShowsExactlyTheRowsWhoseConditionsHold)
{
    const PanelCase& c = GetParam();
    vm->connectionState = c.state;
    vm->connectedDeviceName = c.device;
    vm->hasPairedDevice = c.paired;
    vm->accessibilityEnabled = c.trusted;
    vm->availableUpdateVersion = c.version;
    vm->availableUpdateURL = c.url;
    settle();

    EXPECT_EQ(shownRows(), c.rows);
    EXPECT_EQ(child<QLabel>("statusText")->text(), rawValue(c.state));
    if (c.device) {
        EXPECT_EQ(child<QLabel>("deviceRow")->text(), QStringLiteral("Device: ") + *c.device);
    }
    if (c.version && c.url) {
        EXPECT_EQ(child<QPushButton>("updateButton")->text(),
                  QStringLiteral("Update available \u2014 v") + *c.version);
    }
    // Hidden rows take no room and add no spacing: the shown ones sit 8 apart from the padding.
    const QList<QWidget*> rows = shownRowWidgets();
    ASSERT_FALSE(rows.isEmpty());
    EXPECT_EQ(rows.first()->y(), MenuBarView::padding);
    for (qsizetype i = 1; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i]->y(), rows[i - 1]->geometry().bottom() + 1 + MenuBarView::spacing)
            << rows[i]->objectName().toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(States, MenuBarViewRowsTest, ::testing::ValuesIn(panelCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MenuBarViewTest, ColumnIs240WideWithDividersAcrossThePaddedWidth)
{
    vm->accessibilityEnabled = false;
    settle();
    EXPECT_EQ(view->width(), MenuBarView::panelWidth);
    for (const char* name : {"topDivider", "permissionDivider"}) {
        auto* divider = child<QFrame>(name);
        EXPECT_EQ(divider->frameShape(), QFrame::HLine) << name;
        EXPECT_EQ(divider->x(), MenuBarView::padding) << name;
        EXPECT_EQ(divider->width(), MenuBarView::panelWidth - 2 * MenuBarView::padding) << name;
    }
    for (const char* name : {"grantButton", "getTheAppLink", "quitButton"}) {
        EXPECT_EQ(child(name)->x(), MenuBarView::padding) << name;
    }
    auto* dot = child<StatusDot>("statusDot");
    auto* text = child("statusText");
    EXPECT_EQ(dot->size(), QSize(StatusDot::diameter, StatusDot::diameter));
    EXPECT_EQ(text->x() - (dot->geometry().right() + 1), 6);
    EXPECT_NEAR(dot->geometry().center().y(), text->geometry().center().y(), 1);
}

struct DotCase {
    ConnectionState state;
    int minHue;
    int maxHue;
};

void PrintTo(const DotCase& c, std::ostream* os)
{
    *os << rawValue(c.state).toStdString();
}

class MenuBarViewDotTest : public MenuBarViewTest, public ::testing::WithParamInterface<DotCase> {};

TEST_P(MenuBarViewDotTest, DotIsColouredByState)
{
    vm->connectionState = GetParam().state;
    settle();
    auto* dot = child<StatusDot>("statusDot");
    const QColor drawn = dot->grab().toImage().pixelColor(dot->rect().center());
    EXPECT_EQ(drawn.rgb(), dot->color().rgb());
    // Red wraps around 0: shift the hue so that every range is contiguous.
    const int hue = (drawn.hsvHue() + 30) % 360 - 30;
    EXPECT_GE(hue, GetParam().minHue);
    EXPECT_LE(hue, GetParam().maxHue);
    EXPECT_GT(drawn.hsvSaturation(), 128);
}

INSTANTIATE_TEST_SUITE_P(States, MenuBarViewDotTest,
                         ::testing::Values(DotCase{ConnectionState::disconnected, -15, 12},
                                           DotCase{ConnectionState::advertising, 25, 45},
                                           DotCase{ConnectionState::connected, 90, 150}));

TEST_F(MenuBarViewTest, ShowsNamesAndVersionsVerbatim)
{
    const QString name = QStringLiteral("<b>Bob</b> & %1 Co");
    const QString version = QStringLiteral("2.1&<i>beta</i>");
    vm->connectedDeviceName = name;
    vm->availableUpdateVersion = version;
    vm->availableUpdateURL = updateURL;
    settle();

    auto* device = child<QLabel>("deviceRow");
    EXPECT_EQ(device->textFormat(), Qt::PlainText);
    EXPECT_EQ(device->text(), QStringLiteral("Device: <b>Bob</b> & %1 Co"));

    auto* update = child<QPushButton>("updateButton");
    // A button shows "&&" as one ampersand and would take a lone "&" as a mnemonic.
    EXPECT_EQ(update->text().replace(QStringLiteral("&&"), QStringLiteral("&")),
              QStringLiteral("Update available \u2014 v2.1&<i>beta</i>"));
    EXPECT_TRUE(QKeySequence::mnemonic(update->text()).isEmpty());
}

TEST_F(MenuBarViewTest, FixedTextsAreVerbatim)
{
    vm->accessibilityEnabled = false;
    vm->hasPairedDevice = true;
    settle();
    EXPECT_EQ(child<QPushButton>("forgetButton")->text(), QStringLiteral("Forget Device"));
    EXPECT_EQ(child<QPushButton>("grantButton")->text(),
              QStringLiteral("Grant Accessibility Permission"));
    EXPECT_EQ(child<QLabel>("permissionCaption")->text(),
              QStringLiteral("Required to inject keystrokes into presentation apps."));
    EXPECT_EQ(child<QPushButton>("getTheAppLink")->text(), QStringLiteral("Get the App"));
    EXPECT_EQ(child<QPushButton>("quitButton")->text(), QStringLiteral("Quit"));
}

TEST_F(MenuBarViewTest, UsesTheFontAndColourRoles)
{
    const QFont base = view->font();
    const QFont headline = child("statusText")->font();
    const QFont subheadline = child("deviceRow")->font();
    const QFont caption = child("permissionCaption")->font();
    EXPECT_GE(headline.weight(), QFont::DemiBold);
    EXPECT_GT(headline.weight(), base.weight());
    EXPECT_LT(subheadline.pointSizeF(), base.pointSizeF());
    EXPECT_LT(caption.pointSizeF(), subheadline.pointSizeF());

    for (const char* name : {"deviceRow", "permissionCaption"}) {
        QWidget* label = child(name);
        EXPECT_EQ(label->foregroundRole(), QPalette::PlaceholderText) << name;
        EXPECT_NE(label->palette().color(label->foregroundRole()),
                  view->palette().color(QPalette::WindowText))
            << name;
    }

    // The accent follows the palette, also when it changes while the panel lives.
    const QColor changedAccent(200, 30, 160);
    for (const QColor& accent : {view->palette().color(QPalette::Highlight), changedAccent}) {
        QPalette palette = view->palette();
        palette.setColor(QPalette::Highlight, accent);
        view->setPalette(palette);
        for (const char* name : {"updateButton", "getTheAppLink"}) {
            EXPECT_EQ(child(name)->palette().color(QPalette::ButtonText), accent) << name;
        }
        EXPECT_NE(child("quitButton")->palette().color(QPalette::ButtonText), accent);
    }
}

TEST_F(MenuBarViewTest, EveryShowWritesAFreshSilentTrustAnswer)
{
    view->hide();
    platform.accessibility.trusted = false;
    vm->accessibilityEnabled = true;
    settle();
    ASSERT_FALSE(child("grantButton")->isVisibleTo(view.get()));

    for (const bool trusted : {false, true, true, false}) {
        platform.accessibility.trusted = trusted;
        const int queries = platform.accessibility.silentQueries;
        const int prompts = platform.accessibility.prompts;
        QSignalSpy announced(vm.get(), &CompanionViewModel::objectWillChange);
        view->show();
        // At once, before any queued work runs: a grant since the last poll removes the block.
        EXPECT_EQ(platform.accessibility.silentQueries, queries + 1);
        EXPECT_EQ(platform.accessibility.prompts, prompts);
        EXPECT_EQ(announced.count(), 1);
        EXPECT_EQ(vm->accessibilityEnabled.value(), trusted);
        EXPECT_EQ(child("grantButton")->isVisible(), !trusted);
        EXPECT_EQ(child("permissionCaption")->isVisible(), !trusted);
        EXPECT_EQ(child("permissionDivider")->isVisible(), !trusted);
        view->hide();
        settle();
    }
}

TEST_F(MenuBarViewTest, GrantMakesOnePromptingRequestAndWritesNothing)
{
    platform.accessibility.trusted = false;
    vm->accessibilityEnabled = false;
    settle();
    const int prompts = platform.accessibility.prompts;
    const int queries = platform.accessibility.silentQueries;
    QSignalSpy announced(vm.get(), &CompanionViewModel::objectWillChange);

    QTest::mouseClick(child("grantButton"), Qt::LeftButton);

    EXPECT_EQ(platform.accessibility.prompts, prompts + 1);
    EXPECT_EQ(platform.accessibility.silentQueries, queries);
    EXPECT_EQ(announced.count(), 0);
    EXPECT_FALSE(vm->accessibilityEnabled.value());
}

TEST_F(MenuBarViewTest, OpensTheUpdateAddressAndTheWebSite)
{
    UrlRecorder browser;
    vm->availableUpdateVersion = QStringLiteral("2.1");
    vm->availableUpdateURL = updateURL;
    settle();

    QTest::mouseClick(child("updateButton"), Qt::LeftButton);
    QTest::mouseClick(child("getTheAppLink"), Qt::LeftButton);

    ASSERT_EQ(browser.opened.size(), 2);
    EXPECT_EQ(browser.opened[0], updateURL);
    EXPECT_EQ(browser.opened[1], siteURL());
    EXPECT_EQ(browser.opened[1].scheme(), QStringLiteral("https"));
    EXPECT_EQ(browser.opened[1].path(), QStringLiteral("/"));
    EXPECT_FALSE(browser.opened[1].host().isEmpty());
}

TEST_F(MenuBarViewTest, ForgetReachesTheLinkAndThePanelFollowsItsNewValues)
{
    platform.central->reportState(CentralState::poweredOn);
    auto clicker = std::make_shared<FakePeripheral>(QUuid::createUuid(), QStringLiteral("Podium"));
    platform.central->discover(clicker);
    platform.central->reportConnected(*clicker);
    settle();
    ASSERT_TRUE(child("forgetButton")->isVisible());
    ASSERT_EQ(child<QLabel>("deviceRow")->text(), QStringLiteral("Device: Podium"));
    ASSERT_TRUE(platform.defaults.stringForKey(savedKey).has_value());
    const int cancels = platform.central->countOf(FakeCentral::Call::cancel);
    const int scans = platform.central->countOf(FakeCentral::Call::scan);

    QTest::mouseClick(child("forgetButton"), Qt::LeftButton);

    EXPECT_FALSE(platform.defaults.stringForKey(savedKey).has_value());
    EXPECT_EQ(platform.central->countOf(FakeCentral::Call::cancel), cancels + 1);
    EXPECT_EQ(platform.central->countOf(FakeCentral::Call::scan), scans + 1);
    // The panel changes only once the view model's bindings have delivered.
    EXPECT_TRUE(child("forgetButton")->isVisible());
    settle();
    EXPECT_FALSE(child("forgetButton")->isVisible());
    EXPECT_FALSE(child("deviceRow")->isVisible());
    EXPECT_EQ(child<QLabel>("statusText")->text(), QStringLiteral("Scanning"));
}

// Runs the application's event loop until it is told to quit, or fails after a generous wait.
int runUntilQuit(const std::function<void()>& action)
{
    QTimer::singleShot(0, qApp, action);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, qApp, [] { QCoreApplication::exit(2); });
    watchdog.start(20000);
    return QApplication::exec();
}

TEST_F(MenuBarViewTest, QuitButtonEndsTheEventLoop)
{
    EXPECT_EQ(runUntilQuit([this] { QTest::mouseClick(child("quitButton"), Qt::LeftButton); }), 0);
}

TEST_F(MenuBarViewTest, ControlQEndsTheEventLoop)
{
    EXPECT_EQ(child<QPushButton>("quitButton")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    view->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    child("getTheAppLink")->setFocus();
    EXPECT_EQ(runUntilQuit([this] { QTest::keyClick(view.get(), Qt::Key_Q, Qt::ControlModifier); }),
              0);
}

TEST(MenuBarViewWithoutAccessibilityTest, FollowsTheViewModelButNeitherReadsNorAsks)
{
    FakePlatform platform;
    platform.accessibility.trusted = false;
    CompanionViewModel vm(platform);
    MenuBarView view(vm);
    const int queries = platform.accessibility.silentQueries;
    const int prompts = platform.accessibility.prompts;

    view.show();
    settle();
    auto* grant = view.findChild<QPushButton*>(QStringLiteral("grantButton"));
    ASSERT_NE(grant, nullptr);
    EXPECT_TRUE(grant->isVisible());
    EXPECT_FALSE(grant->isEnabled());
    grant->click();
    EXPECT_EQ(platform.accessibility.silentQueries, queries);
    EXPECT_EQ(platform.accessibility.prompts, prompts);

    vm.accessibilityEnabled = true;
    settle();
    EXPECT_FALSE(grant->isVisible());
}

TEST(MenuBarViewLifetimeTest, OutlivingTheViewModelIsHarmless)
{
    FakePlatform platform;
    auto vm = std::make_unique<CompanionViewModel>(platform);
    MenuBarView view(*vm, platform.accessibility);
    view.show();
    vm->hasPairedDevice = true;
    vm.reset();
    settle();
    const int queries = platform.accessibility.silentQueries;
    auto* forget = view.findChild<QPushButton*>(QStringLiteral("forgetButton"));
    ASSERT_NE(forget, nullptr);
    forget->click();
    view.hide();
    view.show();
    EXPECT_EQ(platform.accessibility.silentQueries, queries);
}

} // namespace
