// SPDX-License-Identifier: MIT
#pragma once

#include "ChildProcess.hpp"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <functional>

namespace quenlark::integration {

// Runs a nested event loop until the condition holds: unlike QTest::qWaitFor it never sleeps, so
// each D-Bus reply is handled as soon as it comes, and the way the program itself runs them.
inline bool waitUntil(const std::function<bool()>& condition)
{
    const QDeadlineTimer deadline(20000);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// A program that serves a name on one of the private buses while the test runs, once it has taken
// the name. Its chatter (every call it answers, and warnings about the missing parts of a desktop)
// matters to nobody here.
struct BusService : QProcess {
    BusService(const QString& program, const QStringList& arguments, const QString& name,
               QDBusConnection bus = QDBusConnection::sessionBus())
    {
        ChildProcess::endWithParent(*this);
        setStandardOutputFile(nullDevice());
        setStandardErrorFile(nullDevice());
        start(program, arguments);
        waitUntil([&] { return bus.interface()->isServiceRegistered(name).value(); });
    }
    ~BusService() override { ChildProcess::stop(*this); }
};

} // namespace quenlark::integration
