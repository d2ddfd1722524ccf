// SPDX-License-Identifier: MIT
#pragma once

#include "ChildProcess.hpp"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

namespace quenlark::integration {

// A program that serves a name on one of the private buses while the test runs, once it has taken
// the name. Its chatter (every call it answers, and warnings about the missing parts of a desktop)
// matters to nobody here.
struct BusService : ChildProcess {
    BusService(const QString& program, const QStringList& arguments, const QString& name,
               QDBusConnection bus = QDBusConnection::sessionBus())
    {
        setStandardOutputFile(nullDevice());
        setStandardErrorFile(nullDevice());
        start(program, arguments);
        waitUntil([&] { return bus.interface()->isServiceRegistered(name).value(); });
    }
};

} // namespace quenlark::integration
