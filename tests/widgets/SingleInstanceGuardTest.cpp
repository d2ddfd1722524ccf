// SPDX-License-Identifier: MIT
#include "SingleInstanceGuard.hpp"
#include "RowName.hpp"

#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QLockFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace quenlark;

namespace {

constexpr int generousWait = 10000;

TEST(SingleInstanceGuardTest, OneRunPerUserThatASecondLaunchAsksToShowItsPanel)
{
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    EXPECT_EQ(QFileInfo(SingleInstanceGuard::defaultName()).path(), runtime);
    QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("companion"));
    // A crashed run leaves its socket file behind.
    ASSERT_TRUE(QFile(name).open(QIODevice::WriteOnly));

    auto first = std::make_unique<SingleInstanceGuard>(name);
    QSignalSpy showRequests(first.get(), &SingleInstanceGuard::showPanelRequested);
    ASSERT_TRUE(first->claim());
    // A second launch is told to leave, and the first shows its panel.
    EXPECT_FALSE(SingleInstanceGuard(name).claim());
    EXPECT_TRUE(showRequests.wait(generousWait));
    // Once the first run has ended, the next one runs.
    first.reset();
    EXPECT_TRUE(SingleInstanceGuard(name).claim());
}

struct StrangerRow {
    const char* name;
    QByteArray message;
};
const StrangerRow strangerRows[] = {{"Greeting", "hello\n"},
                                    {"ShowRequestInWords", "show me\n"},
                                    {"Flood", QByteArray(100000, 'x')},
                                    {"EmptyLine", "\n"}};

class SingleInstanceGuardStrangerTest : public testing::TestWithParam<StrangerRow> {};

// Whatever a stranger sends, the guard hangs up without showing the panel.
TEST_P(SingleInstanceGuardStrangerTest, IsHungUpOnWithoutShowingThePanel)
{
    QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("companion"));
    SingleInstanceGuard guard(name);
    QSignalSpy showRequests(&guard, &SingleInstanceGuard::showPanelRequested);
    ASSERT_TRUE(guard.claim());
    QLocalSocket stranger;
    QSignalSpy hungUp(&stranger, &QLocalSocket::disconnected);
    stranger.connectToServer(name);
    ASSERT_TRUE(stranger.waitForConnected(generousWait));
    stranger.write(GetParam().message);
    EXPECT_TRUE(hungUp.wait(generousWait));
    EXPECT_EQ(showRequests.count(), 0);
}
INSTANTIATE_TEST_SUITE_P(Rows, SingleInstanceGuardStrangerTest, testing::ValuesIn(strangerRows),
                         testing_support::RowName());

// Where Qt's fallback runtime folder is another user's, the program runs rather than use a name in
// a shared folder that anyone could hold (the old fallback, held here).
TEST(SingleInstanceGuardTest, NamesSquattedByAnotherUserNeverKeepTheProgramFromRunning)
{
    const struct passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody)
        GTEST_SKIP() << "planting another user's folders needs root and the user nobody";
    QTemporaryDir shared;
    QLockFile held(shared.filePath(QStringLiteral("quenlark-companion-.lock")));
    ASSERT_TRUE(held.tryLock(0));
    const QByteArray squatted = QFile::encodeName(shared.path()) + "/runtime-root";
    ASSERT_TRUE(mkdir(squatted, 0700) == 0 && chown(squatted, nobody->pw_uid, nobody->pw_gid) == 0);
    qunsetenv("XDG_RUNTIME_DIR");
    qputenv("TMPDIR", QFile::encodeName(shared.path()));
    qunsetenv("USER");
    EXPECT_TRUE(SingleInstanceGuard(SingleInstanceGuard::defaultName()).claim());
}

} // namespace
