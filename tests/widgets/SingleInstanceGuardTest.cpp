// SPDX-License-Identifier: MIT
#include "SingleInstanceGuard.hpp"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QLockFile>
#include <QProcessEnvironment>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

#include <pwd.h>
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
    // Whatever a stranger sends, the guard hangs up without showing the panel.
    for (const QByteArray& message : {QByteArray("hello\n"), QByteArray("show me\n"),
                                      QByteArray(100000, 'x'), QByteArray("\n")}) {
        QLocalSocket stranger;
        QSignalSpy hungUp(&stranger, &QLocalSocket::disconnected);
        stranger.connectToServer(name);
        ASSERT_TRUE(stranger.waitForConnected(generousWait));
        stranger.write(message);
        EXPECT_TRUE(hungUp.wait(generousWait)) << message.left(16).toStdString();
    }
    EXPECT_EQ(showRequests.count(), 0);

    // A second launch is told to leave, and the first shows its panel.
    EXPECT_FALSE(SingleInstanceGuard(name).claim());
    EXPECT_TRUE(showRequests.wait(generousWait));
    // Once the first run has ended, the next one runs.
    first.reset();
    EXPECT_TRUE(SingleInstanceGuard(name).claim());
}

// Without a runtime folder of its own, the program never falls back to a name in a shared folder:
// another user could hold that name, and every start would then leave at once.
TEST(SingleInstanceGuardTest, NamesSquattedByAnotherUserNeverKeepTheProgramFromRunning)
{
    const struct passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || !nobody)
        GTEST_SKIP() << "planting another user's files needs root and the user nobody";
    QTemporaryDir shared;
    // Another user's folders where the runtime folder and Qt's fallback for it would be, and a
    // lock held by a running process where the old fallback name was.
    QLockFile held(shared.filePath(QStringLiteral("held")));
    ASSERT_TRUE(held.tryLock(0));
    const QString squattedLock = QStringLiteral("quenlark-companion-squatted.lock");
    ASSERT_TRUE(
        QFile::copy(shared.filePath(QStringLiteral("held")), shared.filePath(squattedLock)));
    for (const QString& name :
         {QStringLiteral("runtime"), QStringLiteral("runtime-root"), squattedLock}) {
        const QString path = shared.filePath(name);
        ASSERT_TRUE(QFile::exists(path) || QDir().mkdir(path));
        ASSERT_EQ(chown(QFile::encodeName(path).constData(), nobody->pw_uid, nobody->pw_gid), 0);
    }
    const auto environment = qScopeGuard([saved = QProcessEnvironment::systemEnvironment()] {
        for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR", "USER"}) {
            if (saved.contains(QString::fromLatin1(name)))
                qputenv(name, saved.value(QString::fromLatin1(name)).toLocal8Bit());
            else
                qunsetenv(name);
        }
    });
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(shared.filePath(QStringLiteral("runtime"))));
    qputenv("TMPDIR", QFile::encodeName(shared.path()));
    qputenv("USER", "squatted");
    EXPECT_TRUE(SingleInstanceGuard(SingleInstanceGuard::defaultName()).claim());
}

} // namespace
