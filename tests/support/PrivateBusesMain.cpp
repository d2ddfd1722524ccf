// SPDX-License-Identifier: MIT
#include "ChildProcess.hpp"

#include <QCoreApplication>
#include <QStandardPaths>

#include <gtest/gtest.h>

namespace {

using quenlark::integration::ChildProcess;
using namespace Qt::StringLiterals;

// Private buses for the whole process, since Qt binds each bus once: the system bus, and the
// session bus too where QUENLARK_PRIVATE_SESSION_BUS is 1. A bus on which anyone may own any name
// serves as either. Children started afterwards inherit their addresses.
class PrivateBusesEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        if (QStandardPaths::findExecutable(u"dbus-daemon"_s).isEmpty() ||
            QProcess::execute(u"/usr/bin/python3"_s, {u"-c"_s, u"import dbusmock"_s}) != 0)
            GTEST_SKIP() << "needs dbus-daemon and python3-dbusmock (Debian packages dbus and "
                            "python3-dbusmock)";
        startBus(system_, "DBUS_SYSTEM_BUS_ADDRESS");
        if (QUENLARK_PRIVATE_SESSION_BUS)
            startBus(session_, "DBUS_SESSION_BUS_ADDRESS");
    }
    void TearDown() override
    {
        system_.stop();
        session_.stop();
    }

private:
    // Its standard error is kept back: as root without CAP_SYS_RESOURCE it warns on every start
    // that it cannot raise its file limit, which matters to nobody here.
    static void startBus(ChildProcess& daemon, const char* addressVariable)
    {
        daemon.start(u"dbus-daemon"_s,
                     {QStringLiteral("--config-file=" QUENLARK_SUPPORT_DIR "/system-bus.conf"),
                      u"--nofork"_s, u"--print-address=1"_s});
        const auto address = daemon.nextLine(QDeadlineTimer(20000));
        ASSERT_TRUE(address && !address->isEmpty())
            << "dbus-daemon printed no address: " << daemon.errorString().toStdString()
            << daemon.readAllStandardError().toStdString();
        qputenv(addressVariable, address->toLocal8Bit());
    }

    ChildProcess session_;
    ChildProcess system_;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    testing::AddGlobalTestEnvironment(new PrivateBusesEnvironment);
    return RUN_ALL_TESTS();
}
