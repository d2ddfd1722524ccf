// SPDX-License-Identifier: MIT
#include "Views/MenuBarView.hpp"

#include "Core/UpdateChecker.hpp"
#include "FakePlatform.hpp"
#include "ViewModels/CompanionViewModel.hpp"
#include "Views/StatusDot.hpp"
#include "WidgetTestSupport.hpp"

#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <ostream>
#include <tuple>

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
    const char* rows; // the shown rows between the top divider and the web site link
};

void PrintTo(const PanelCase& c, std::ostream* os)
{
    *os << c.name;
}

const QUrl updateURL(QStringLiteral("https://downloads.example.org/quenlark-2.1.tar.gz"));
const auto disconnected = ConnectionState::disconnected;
const auto connected = ConnectionState::connected;
const std::nullopt_t none = std::nullopt;

// The fixed texts of the rows that have one.
const std::map<QString, QString> fixedTexts = {
    {QStringLiteral("forgetButton"), QStringLiteral("Forget Device")},
    {QStringLiteral("grantButton"), QStringLiteral("Grant Accessibility Permission")},
    {QStringLiteral("permissionCaption"),
     QStringLiteral("Required to inject keystrokes into presentation apps.")},
    {QStringLiteral("getTheAppLink"), QStringLiteral("Get the App")},
    {QStringLiteral("quitButton"), QStringLiteral("Quit")},
};

const PanelCase panelCases[] = {
    {"NothingToShow", disconnected, none, false, true, none, none, ""},
    {"ScanningWithRememberedDevice", ConnectionState::advertising, none, true, true, none, none,
     "forgetButton"},
    {"ConnectedButNotRemembered", connected, QStringLiteral("Podium"), false, true, none, none, ""},
    {"EmptyDeviceName", connected, QString(), true, true, none, none, "forgetButton"},
    {"VersionWithoutAddress", disconnected, none, false, true, QStringLiteral("2.1"), none, ""},
    {"AddressWithoutVersion", disconnected, none, false, true, none, updateURL, ""},
    {"PermissionMissing", disconnected, none, false, false, none, none,
     "grantButton permissionCaption permissionDivider"},
    {"Everything", connected, QStringLiteral("Podium"), true, false, QStringLiteral("2.1"),
     updateURL, "updateButton forgetButton grantButton permissionCaption permissionDivider"},
};

class MenuBarViewRowsTest : public MenuBarViewTest,
                            public ::testing::WithParamInterface<PanelCase> {};

TEST_P(MenuBarViewRowsTest, ShowsExactlyTheRowsWhoseConditionsHoldAndTheirTexts)
{
    const PanelCase& c = GetParam();
    vm->connectionState = c.state;
    vm->connectedDeviceName = c.device;
    vm->hasPairedDevice = c.paired;
    vm->accessibilityEnabled = c.trusted;
    vm->availableUpdateVersion = c.version;
    vm->availableUpdateURL = c.url;
    settle();

    QStringList expected{QStringLiteral("statusRow")};
    if (c.device)
        expected << QStringLiteral("deviceRow");
    expected << QStringLiteral("topDivider")
             << QString::fromLatin1(c.rows).split(u' ', Qt::SkipEmptyParts)
             << QStringLiteral("getTheAppLink") << QStringLiteral("quitButton");
    EXPECT_EQ(shownRows(), expected);
    for (const QString& row : expected) {
        if (const auto text = fixedTexts.find(row); text != fixedTexts.end()) {
            EXPECT_EQ(view->findChild<QWidget*>(row)->property("text").toString(), text->second);
        }
    }
    EXPECT_EQ(child<QLabel>("statusText")->text(), rawValue(c.state));
    if (c.device) {
        EXPECT_EQ(child<QLabel>("deviceRow")->text(), QStringLiteral("Device: ") + *c.device);
    }
    if (c.version && c.url) {
        EXPECT_EQ(child<QPushButton>("updateButton")->text(),
                  QStringLiteral("Update available \u2014 v") + *c.version);
    }
}

INSTANTIATE_TEST_SUITE_P(States, MenuBarViewRowsTest, ::testing::ValuesIn(panelCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MenuBarViewTest, DotIsRedOrangeOrGreenByState)
{
    // Hue ranges, red shifted to wrap around 0.
    const std::tuple<ConnectionState, int, int> table[] = {
        {ConnectionState::disconnected, -15, 12},
        {ConnectionState::advertising, 25, 45},
        {ConnectionState::connected, 90, 150},
    };
    for (const auto& [state, minHue, maxHue] : table) {
        vm->connectionState = state;
        settle();
        auto* dot = child<StatusDot>("statusDot");
        const QColor drawn = dot->grab().toImage().pixelColor(dot->rect().center());
        const int hue = (drawn.hsvHue() + 30) % 360 - 30;
        EXPECT_GE(hue, minHue) << rawValue(state).toStdString();
        EXPECT_LE(hue, maxHue) << rawValue(state).toStdString();
        EXPECT_GT(drawn.hsvSaturation(), 128);
    }
}

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
        view->show();
        // At once, before any queued work runs: a grant since the last poll removes the block.
        EXPECT_EQ(platform.accessibility.silentQueries, queries + 1);
        EXPECT_EQ(platform.accessibility.prompts, prompts);
        EXPECT_EQ(child("grantButton")->isVisible(), !trusted);
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

    QTest::mouseClick(child("grantButton"), Qt::LeftButton);

    EXPECT_EQ(platform.accessibility.prompts, prompts + 1);
    EXPECT_EQ(platform.accessibility.silentQueries, queries);
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

    EXPECT_EQ(browser.opened, (QList<QUrl>{updateURL, siteURL()}));
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
