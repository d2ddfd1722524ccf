// SPDX-License-Identifier: MIT
#include "Views/PanelWindow.hpp"

#include "Core/UpdateChecker.hpp"
#include "FakePlatform.hpp"
#include "ViewModels/CompanionViewModel.hpp"
#include "Views/MenuBarView.hpp"

#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <tuple>

using namespace quenlark;
using namespace quenlark::fakes;

namespace {

const QUrl updateURL(QStringLiteral("https://downloads.example.org/quenlark-2.1.tar.gz"));

// Delivers the queued work of a few rounds: the view model's bindings post their assignments,
// whose announcements in turn post the panel's refresh.
void settle()
{
    for (int round = 0; round < 4; ++round)
        QCoreApplication::sendPostedEvents();
}

// The panel of a program on the fakes. The fixture takes every https address the program opens,
// instead of a browser.
class PanelWindowTest : public QObject, public ::testing::Test {
    Q_OBJECT

protected:
    void SetUp() override
    {
        QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "open");
        platform.accessibility.trusted = true;
        vm = std::make_unique<CompanionViewModel>(platform);
        panel = std::make_unique<PanelWindow>(*vm, platform.accessibility);
    }
    void TearDown() override { QDesktopServices::unsetUrlHandler(QStringLiteral("https")); }

    QWidget* child(const char* name) const
    {
        return panel->findChild<QWidget*>(QString::fromLatin1(name));
    }

    // The column's shown rows, top to bottom and as drawn, "----" for a divider.
    std::string shownRows() const
    {
        QStringList rows;
        QLayout* column = panel->view()->layout();
        for (int i = 0; i < column->count(); ++i) {
            QWidget* row = column->itemAt(i)->widget();
            // The status row holds its text in a label of its own.
            auto* label =
                row->findChild<QLabel*>() ? row->findChild<QLabel*>() : qobject_cast<QLabel*>(row);
            if (!row->isVisibleTo(panel.get()))
                continue;
            if (auto* button = qobject_cast<QPushButton*>(row)) {
                // A lone ampersand would be taken for a mnemonic and vanish.
                EXPECT_TRUE(QKeySequence::mnemonic(button->text()).isEmpty());
                rows << button->text().replace(QStringLiteral("&&"), QStringLiteral("&"));
            } else if (label) {
                EXPECT_EQ(label->textFormat(), Qt::PlainText) << "markup in a name is shown as is";
                rows << label->text();
            } else {
                rows << QStringLiteral("----");
            }
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
    using State = ConnectionState;
    const std::nullopt_t none = std::nullopt;
    const QString podium = QStringLiteral("Podium");
    const std::string permission = "Grant Accessibility Permission | "
                                   "Required to inject keystrokes into presentation apps. | ----";
    // State, device name, remembered, trusted, update version and address: the rows.
    const std::tuple<State, std::optional<QString>, bool, bool, std::optional<QString>,
                     std::optional<QUrl>, std::string>
        cases[] = {
            {State::disconnected, none, false, true, none, none,
             "Disconnected | ---- | Get the App | Quit"},
            {State::advertising, none, true, true, QStringLiteral("2.1"), none,
             "Scanning | ---- | Forget Device | Get the App | Quit"},
            {State::connected, podium, false, true, none, updateURL,
             "Connected | Device: Podium | ---- | Get the App | Quit"},
            {State::connected, QString(), true, false, none, none,
             "Connected | Device:  | ---- | Forget Device | " + permission +
                 " | Get the App | Quit"},
            {State::connected, QStringLiteral("<b>Bob</b> & %1 Co"), true, false,
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

TEST_F(PanelWindowTest, TrayClicksOpenAPopupAtTheIconWhoseActionsReachTheirTargets)
{
    platform.central->reportState(CentralState::poweredOn);
    auto clicker = std::make_shared<FakePeripheral>(QUuid::createUuid(), QStringLiteral("Podium"));
    platform.central->discover(clicker);
    platform.central->reportConnected(*clicker);
    vm->availableUpdateVersion = QStringLiteral("2.1");
    vm->availableUpdateURL = updateURL;
    settle();
    const QString savedKey = QStringLiteral("savedPeripheralUUID");
    ASSERT_TRUE(platform.defaults.stringForKey(savedKey).has_value());

    // An icon in the top right corner: the popup opens below it and inside the screen.
    panel->setTrayAvailable(true);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect icon(screen.right() - 20, screen.top(), 22, 22);
    panel->toggle(icon);
    ASSERT_TRUE(panel->isVisible());
    EXPECT_EQ(panel->windowType(), Qt::Popup);
    EXPECT_GT(panel->y(), icon.bottom());
    EXPECT_EQ(panel->geometry().right(), screen.right());
    const int trusting = panel->height();
    panel->toggle(icon);
    EXPECT_FALSE(panel->isVisible());
    // The click that closed the panel arrives again as a click on the icon: it must not reopen.
    panel->toggle(icon);
    EXPECT_FALSE(panel->isVisible());

    // The trust is read as the panel shows, and the popup fits the permission block at once.
    platform.accessibility.trusted = false;
    panel->showPanel();
    EXPECT_TRUE(child("grantButton")->isVisible());
    EXPECT_GT(panel->height(), trusting);

    for (const char* row : {"updateButton", "getTheAppLink", "grantButton", "forgetButton"})
        QTest::mouseClick(child(row), Qt::LeftButton);
    EXPECT_EQ(opened, (QList<QUrl>{updateURL, siteURL()}));
    // Granting only prompts: the answer arrives through the poll or the next showing.
    EXPECT_EQ(platform.accessibility.prompts, 1);
    EXPECT_FALSE(vm->accessibilityEnabled.value());
    // Forgetting reaches the link; the panel follows the values the view model then publishes.
    EXPECT_FALSE(platform.defaults.stringForKey(savedKey).has_value());
    settle();
    EXPECT_FALSE(child("forgetButton")->isVisible());

    // Granted since the last poll: the permission block is gone as soon as the panel shows.
    QTest::keyClick(panel.get(), Qt::Key_Escape);
    EXPECT_FALSE(panel->isVisible());
    platform.accessibility.trusted = true;
    panel->showPanel();
    EXPECT_FALSE(child("grantButton")->isVisible());
}

TEST_F(PanelWindowTest, WithoutATrayAWindowOpensAtOnceUntilClosedAndControlQQuits)
{
    EXPECT_EQ(PanelWindow::kindFor(true, QStringLiteral("wayland")), PanelWindow::Kind::dialog);
    panel->setTrayAvailable(false);
    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(panel->windowType(), Qt::Window);
    EXPECT_FALSE(panel->testAttribute(Qt::WA_QuitOnClose));
    // A tray that appears leaves the open window as it is until it is closed.
    panel->setTrayAvailable(true);
    EXPECT_EQ(panel->windowType(), Qt::Window);

    panel->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(panel.get()));
    // Ends the loop with another status when nothing quits it.
    QTimer::singleShot(20000, panel.get(), [] { QCoreApplication::exit(2); });
    QTimer::singleShot(0, panel.get(),
                       [this] { QTest::keyClick(panel.get(), Qt::Key_Q, Qt::ControlModifier); });
    EXPECT_EQ(QApplication::exec(), 0);
    panel->close();
    panel->showPanel();
    EXPECT_EQ(panel->windowType(), Qt::Popup);
}

} // namespace

#include "PanelWindowTest.moc"
