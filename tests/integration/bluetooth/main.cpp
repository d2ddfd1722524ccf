// SPDX-License-Identifier: MIT
#include "PrivateSystemBus.hpp"

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

namespace {

// One private system bus for the whole process: Qt binds the system bus once.
class PrivateBusEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
            GTEST_SKIP() << "dbus-daemon is not installed (Debian package dbus)";
        QProcess probe;
        probe.start(QStringLiteral("/usr/bin/python3"),
                    {QStringLiteral("-c"), QStringLiteral("import dbusmock")});
        if (!probe.waitForFinished(30000) || probe.exitCode() != 0)
            GTEST_SKIP() << "python3-dbusmock is not installed";
        const auto error = bus_.start(QStringLiteral(QUENLARK_BLUETOOTH_TEST_DIR) +
                                      QStringLiteral("/system-bus.conf"));
        ASSERT_FALSE(error) << error->toStdString();
    }
    void TearDown() override { bus_.stop(); }

private:
    quenlark::integration::PrivateSystemBus bus_;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    testing::AddGlobalTestEnvironment(new PrivateBusEnvironment);
    return RUN_ALL_TESTS();
}
