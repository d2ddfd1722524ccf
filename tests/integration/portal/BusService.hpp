// SPDX-License-Identifier: MIT
#pragma once

#include "ChildProcess.hpp"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

namespace quenlark::integration {

// A program serving a name on a private bus, started once it has taken the name. Its chatter
// (every call it answers, warnings about the missing parts of a desktop) is dropped.
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
