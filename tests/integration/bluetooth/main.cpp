// SPDX-License-Identifier: MIT
#include "PrivateSystemBus.hpp"

#include <QCoreApplication>
#include <QStandardPaths>

#include <gtest/gtest.h>

namespace {

// Private buses for the whole process, since Qt binds each bus once: the system bus, and the
// session bus too where QUENLARK_PRIVATE_SESSION_BUS is 1. A bus on which anyone may own any name
// serves as either. The helper points the system-bus variable at what it starts, so the session bus
// comes first and its address is handed on before the second start replaces that variable.
class PrivateBusesEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        QProcess probe;
        probe.start(QStringLiteral("/usr/bin/python3"),
                    {QStringLiteral("-c"), QStringLiteral("import dbusmock")});
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty() ||
            !probe.waitForFinished(30000) || probe.exitCode() != 0)
            GTEST_SKIP() << "needs dbus-daemon and python3-dbusmock (Debian packages dbus and "
                            "python3-dbusmock)";
        const QString config = QStringLiteral(QUENLARK_BLUETOOTH_TEST_DIR "/system-bus.conf");
        if (QUENLARK_PRIVATE_SESSION_BUS) {
            const auto error = session_.start(config);
            ASSERT_FALSE(error) << error->toStdString();
            qputenv("DBUS_SESSION_BUS_ADDRESS", session_.address().toLocal8Bit());
        }
        const auto error = system_.start(config);
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
