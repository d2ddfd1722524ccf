// SPDX-License-Identifier: MIT
#include "SingleInstanceGuard.hpp"

#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace quenlark;

namespace {

constexpr int generousWait = 10000;

class SingleInstanceGuardTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("companion"));

    // Sends raw bytes as a stranger would and runs the event loop until the guard hangs up.
    void sendRaw(const QByteArray& bytes)
    {
        QLocalSocket socket;
        QSignalSpy hungUp(&socket, &QLocalSocket::disconnected);
        socket.connectToServer(name);
        ASSERT_TRUE(socket.waitForConnected(generousWait));
        socket.write(bytes);
        ASSERT_TRUE(hungUp.wait(generousWait));
    }
};

TEST_F(SingleInstanceGuardTest, SecondLaunchIsToldToLeaveAndTheFirstShowsItsPanel)
{
    ASSERT_TRUE(dir.isValid());
    SingleInstanceGuard first(name);
    QSignalSpy showRequests(&first, &SingleInstanceGuard::showPanelRequested);
    ASSERT_TRUE(first.claim());

    for (int launch = 1; launch <= 2; ++launch) {
        SingleInstanceGuard second(name);
        EXPECT_FALSE(second.claim()) << launch;
        EXPECT_TRUE(showRequests.wait(generousWait)) << launch;
        EXPECT_EQ(showRequests.count(), launch);
    }
}

TEST_F(SingleInstanceGuardTest, NextLaunchRunsOnceTheFirstHasEndedOrCrashed)
{
    {
        SingleInstanceGuard ended(name);
        ASSERT_TRUE(ended.claim());
    }
    EXPECT_TRUE(SingleInstanceGuard(name).claim());
    // A crashed run leaves its socket file behind.
    QFile leftover(name);
    ASSERT_TRUE(leftover.open(QIODevice::WriteOnly));
    leftover.close();

    SingleInstanceGuard next(name);
    QSignalSpy showRequests(&next, &SingleInstanceGuard::showPanelRequested);
    ASSERT_TRUE(next.claim());
    EXPECT_FALSE(SingleInstanceGuard(name).claim());
    EXPECT_TRUE(showRequests.wait(generousWait));
}

TEST_F(SingleInstanceGuardTest, StrangeMessagesAreDroppedWithoutShowingThePanel)
{
    SingleInstanceGuard first(name);
    QSignalSpy showRequests(&first, &SingleInstanceGuard::showPanelRequested);
    ASSERT_TRUE(first.claim());

    const QByteArray messages[] = {QByteArrayLiteral("hello\n"), QByteArrayLiteral("show me\n"),
                                   QByteArray(100000, 'x'), QByteArrayLiteral("\n")};
    for (const QByteArray& message : messages) {
        sendRaw(message);
        EXPECT_EQ(showRequests.count(), 0) << message.left(16).toStdString();
    }

    sendRaw(QByteArrayLiteral("show\n"));
    EXPECT_EQ(showRequests.count(), 1);
}

TEST(SingleInstanceGuardNameTest, DefaultNameIsASocketInTheUsersRuntimeFolder)
{
    QTemporaryDir runtime;
    ASSERT_TRUE(runtime.isValid());
    // An empty folder reads as an unset one, so restoring an unset variable as empty is enough.
    const auto restore = qScopeGuard(
        [previous = qgetenv("XDG_RUNTIME_DIR")] { qputenv("XDG_RUNTIME_DIR", previous); });
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));

    const QString name = SingleInstanceGuard::defaultName();
    EXPECT_EQ(QFileInfo(name).absolutePath(), QFileInfo(runtime.path()).absoluteFilePath());
    SingleInstanceGuard first(name);
    EXPECT_TRUE(first.claim());
    EXPECT_TRUE(QFileInfo::exists(name));
    EXPECT_FALSE(SingleInstanceGuard(name).claim());
}

} // namespace
