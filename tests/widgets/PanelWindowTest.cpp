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

#include <tuple>

using namespace quenlark;
using namespace quenlark::fakes;
using quenlark::testing::settle;

namespace {

TEST(PanelWindowKindTest, PopupUnderATrayDialogOnWaylandWindowWithoutTray)
{
    using Kind = PanelWindow::Kind;
    const std::tuple<bool, const char*, Kind> table[] = {
        {true, "xcb", Kind::popup},          {true, "wayland", Kind::dialog},
        {true, "wayland-egl", Kind::dialog}, {true, "offscreen", Kind::popup},
        {false, "xcb", Kind::window},        {false, "wayland", Kind::window},
    };
    for (const auto& [tray, platform, kind] : table)
        EXPECT_EQ(PanelWindow::kindFor(tray, QString::fromLatin1(platform)), kind) << platform;
}

TEST(PanelWindowPlacementTest, PlacesThePanelAtTheIconInsideTheScreen)
{
    const QRect fullHd(0, 0, 1920, 1080);
    const QSize panel(240, 200);
    const std::tuple<const char*, QRect, QSize, QRect, QPoint> table[] = {
        {"top middle", QRect(900, 0, 24, 24), panel, fullHd, QPoint(791, 26)},
        {"top right corner", QRect(1890, 0, 24, 24), panel, fullHd, QPoint(1680, 26)},
        {"top left corner", QRect(4, 0, 24, 24), panel, fullHd, QPoint(0, 26)},
        {"bottom panel", QRect(900, 1056, 24, 24), panel, fullHd, QPoint(791, 854)},
        {"below a reserved top bar", QRect(1000, 4, 24, 24), panel, QRect(0, 32, 1920, 1048),
         QPoint(891, 32)},
        {"pointer on a second screen", QRect(2500, 10, 1, 1), panel, QRect(1920, 0, 1280, 1024),
         QPoint(2380, 13)},
        {"taller than the screen", QRect(900, 0, 24, 24), QSize(240, 2000), fullHd, QPoint(791, 0)},
    };
    for (const auto& [name, anchor, size, available, expected] : table)
        EXPECT_EQ(PanelWindow::placement(anchor, size, available), expected) << name;
}

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

    panel->showPanel();
    QTest::keyClick(panel.get(), Qt::Key_Escape);
    EXPECT_FALSE(panel->isVisible());
}

TEST_F(PanelWindowTest, IsSizedToTheRowsTheAppearActionLeaves)
{
    panel->setTrayAvailable(true);
    panel->showPanel();
    const int withoutBlock = panel->height();
    panel->hide();

    platform.accessibility.trusted = false;
    panel->showPanel();
    EXPECT_GT(panel->height(), withoutBlock);
    EXPECT_EQ(panel->height(), panel->view()->height() + 2 * panel->frameWidth());
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

} // namespace
