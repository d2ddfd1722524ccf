// SPDX-License-Identifier: MIT
#include "PrivateSystemBus.hpp"

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

namespace {

// Private session and system buses for the whole process: Qt binds each bus once. The helper
// names what it starts the system bus, so the session bus comes first and its address is handed
// on before the second start replaces that name.
class PrivateBusesEnvironment : public testing::Environment {
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
        // A bus on which anyone may own any name serves as either.
        const QString config = QStringLiteral(QUENLARK_BLUETOOTH_TEST_DIR "/system-bus.conf");
        auto error = session_.start(config);
        ASSERT_FALSE(error) << error->toStdString();
        qputenv("DBUS_SESSION_BUS_ADDRESS", session_.address().toLocal8Bit());
        error = system_.start(config);
        ASSERT_FALSE(error) << error->toStdString();
    }
    void TearDown() override
    {
        system_.stop();
        session_.stop();
    }

private:
    quenlark::integration::PrivateSystemBus session_;
    quenlark::integration::PrivateSystemBus system_;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    testing::AddGlobalTestEnvironment(new PrivateBusesEnvironment);
    return RUN_ALL_TESTS();
}
