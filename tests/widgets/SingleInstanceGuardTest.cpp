// SPDX-License-Identifier: MIT
#include "SingleInstanceGuard.hpp"

#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

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

} // namespace
