// SPDX-License-Identifier: MIT
#include "Views/PanelWindow.hpp"

#include "FakePlatform.hpp"
#include "ViewModels/CompanionViewModel.hpp"
#include "Views/MenuBarView.hpp"
#include "WidgetTestSupport.hpp"

#include <QGuiApplication>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>

#include <ostream>

using namespace quenlark;
using namespace quenlark::fakes;
using quenlark::testing::settle;

namespace {

struct KindCase {
    bool trayAvailable;
    const char* platform;
    PanelWindow::Kind kind;
};

void PrintTo(const KindCase& c, std::ostream* os)
{
    *os << c.platform << (c.trayAvailable ? " with tray" : " without tray");
}

class PanelWindowKindTest : public ::testing::TestWithParam<KindCase> {};

TEST_P(PanelWindowKindTest, PopupUnderATrayDialogOnWaylandWindowWithoutTray)
{
    const KindCase& c = GetParam();
    EXPECT_EQ(PanelWindow::kindFor(c.trayAvailable, QString::fromLatin1(c.platform)), c.kind);
}

INSTANTIATE_TEST_SUITE_P(Platforms, PanelWindowKindTest,
                         ::testing::Values(KindCase{true, "xcb", PanelWindow::Kind::popup},
                                           KindCase{true, "wayland", PanelWindow::Kind::dialog},
                                           KindCase{true, "wayland-egl", PanelWindow::Kind::dialog},
                                           KindCase{true, "offscreen", PanelWindow::Kind::popup},
                                           KindCase{false, "xcb", PanelWindow::Kind::window},
                                           KindCase{false, "wayland", PanelWindow::Kind::window}));

struct PlacementCase {
    const char* name;
    QRect anchor;
    QSize size;
    QRect available;
    QPoint expected;
};

void PrintTo(const PlacementCase& c, std::ostream* os)
{
    *os << c.name;
}

class PanelWindowPlacementTest : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(PanelWindowPlacementTest, PlacesThePanelAtTheIconInsideTheScreen)
{
    const PlacementCase& c = GetParam();
    EXPECT_EQ(PanelWindow::placement(c.anchor, c.size, c.available), c.expected);
}

const QRect fullHd(0, 0, 1920, 1080);

INSTANTIATE_TEST_SUITE_P(
    Trays, PanelWindowPlacementTest,
    ::testing::Values(
        PlacementCase{"TopMiddle", QRect(900, 0, 24, 24), QSize(240, 200), fullHd, QPoint(791, 26)},
        PlacementCase{"TopRightCorner", QRect(1890, 0, 24, 24), QSize(240, 200), fullHd,
                      QPoint(1680, 26)},
        PlacementCase{"TopLeftCorner", QRect(4, 0, 24, 24), QSize(240, 200), fullHd, QPoint(0, 26)},
        PlacementCase{"BottomPanel", QRect(900, 1056, 24, 24), QSize(240, 200), fullHd,
                      QPoint(791, 854)},
        PlacementCase{"BelowAReservedTopBar", QRect(1000, 4, 24, 24), QSize(240, 200),
                      QRect(0, 32, 1920, 1048), QPoint(891, 32)},
        PlacementCase{"PointerOnlyOnSecondScreen", QRect(2500, 10, 1, 1), QSize(240, 200),
                      QRect(1920, 0, 1280, 1024), QPoint(2380, 13)},
        PlacementCase{"TallerThanTheScreen", QRect(900, 0, 24, 24), QSize(240, 2000), fullHd,
                      QPoint(791, 0)}),
    [](const auto& info) { return std::string(info.param.name); });

class PanelWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform.accessibility.trusted = true;
        vm = std::make_unique<CompanionViewModel>(platform);
        panel = std::make_unique<PanelWindow>(*vm, platform.accessibility);
    }

    FakePlatform platform;
    std::unique_ptr<CompanionViewModel> vm;
    std::unique_ptr<PanelWindow> panel;
};

TEST_F(PanelWindowTest, WithoutATrayOpensAtOnceAsAnOrdinaryWindow)
{
    const int queries = platform.accessibility.silentQueries;
    panel->setTrayAvailable(false);

    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(panel->kind(), PanelWindow::Kind::window);
    EXPECT_EQ(panel->windowType(), Qt::Window);
    EXPECT_TRUE(panel->view()->isVisible());
    EXPECT_EQ(platform.accessibility.silentQueries, queries + 1);
    EXPECT_FALSE(panel->testAttribute(Qt::WA_QuitOnClose));
}

TEST_F(PanelWindowTest, TrayClicksToggleAPopupPlacedAtTheIcon)
{
    panel->setTrayAvailable(true);
    EXPECT_FALSE(panel->isVisible());
    EXPECT_EQ(panel->kind(), PanelWindow::Kind::popup);

    const QRect anchor(300, 0, 22, 22);
    panel->toggle(anchor);
    ASSERT_TRUE(panel->isVisible());
    EXPECT_EQ(panel->windowType(), Qt::Popup);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(panel->pos(), PanelWindow::placement(anchor, panel->size(), screen));
    EXPECT_GT(panel->y(), anchor.bottom());

    panel->toggle(anchor);
    EXPECT_FALSE(panel->isVisible());
    // The same click that closed the panel must not open it again.
    panel->toggle(anchor);
    EXPECT_FALSE(panel->isVisible());
}

TEST_F(PanelWindowTest, IsSizedToTheRowsTheAppearActionLeaves)
{
    panel->setTrayAvailable(true);
    panel->showPanel();
    const int withoutBlock = panel->height();
    EXPECT_EQ(panel->width(), MenuBarView::panelWidth + 2 * panel->frameWidth());
    panel->hide();

    platform.accessibility.trusted = false;
    panel->showPanel();
    EXPECT_GT(panel->height(), withoutBlock);
    EXPECT_EQ(panel->height(), panel->view()->height() + 2 * panel->frameWidth());
    EXPECT_EQ(panel->view()->y(), panel->frameWidth());
    // The column ends with its padding below the last row.
    const auto* quit = panel->view()->findChild<QWidget*>(QStringLiteral("quitButton"));
    ASSERT_NE(quit, nullptr);
    EXPECT_EQ(panel->view()->height(), quit->geometry().bottom() + 1 + MenuBarView::padding);
}

TEST_F(PanelWindowTest, ATrayThatAppearsLeavesAnOpenWindowUntilItIsClosed)
{
    panel->setTrayAvailable(false);
    panel->setTrayAvailable(true);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(panel->kind(), PanelWindow::Kind::window);

    panel->close();
    settle();
    panel->showPanel();
    EXPECT_EQ(panel->kind(), PanelWindow::Kind::popup);
    EXPECT_EQ(panel->windowType(), Qt::Popup);
}

TEST_F(PanelWindowTest, EscapeClosesThePopup)
{
    panel->setTrayAvailable(true);
    panel->showPanel();
    ASSERT_TRUE(panel->isVisible());
    QTest::keyClick(panel.get(), Qt::Key_Escape);
    EXPECT_FALSE(panel->isVisible());
}

} // namespace
