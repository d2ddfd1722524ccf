// SPDX-License-Identifier: MIT
#pragma once

#include "ChildProcess.hpp"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QTest>

#include <utility>

namespace quenlark::integration {

// A process that serves a D-Bus name for a test, stopped when this object goes: a real service,
// or a python3-dbusmock template (a file, or one of dbusmock's own) on the bus the template names.
class MockService {
public:
    MockService(QDBusConnection bus, QString name) : bus_(std::move(bus)), name_(std::move(name))
    {
        ChildProcess::endWithParent(process_);
        // Their chatter (warnings about the missing parts of a desktop) matters to nobody here.
        process_.setStandardOutputFile(QProcess::nullDevice());
        process_.setStandardErrorFile(QProcess::nullDevice());
    }
    ~MockService() { ChildProcess::stop(process_); }

    bool start(const QString& program, const QStringList& arguments)
    {
        process_.start(program, arguments);
        return QTest::qWaitFor(
            [this] { return bus_.interface()->isServiceRegistered(name_).value(); }, 30000);
    }

    // A blocking call on the service's org.freedesktop.DBus.Mock interface.
    QDBusMessage mock(const QString& path, const QString& method,
                      const QVariantList& arguments = {})
    {
        auto message = QDBusMessage::createMethodCall(
            name_, path, QStringLiteral("org.freedesktop.DBus.Mock"), method);
        message.setArguments(arguments);
        return bus_.call(message, QDBus::Block, 20000);
    }

private:
    QProcess process_;
    QDBusConnection bus_;
    QString name_;
};

} // namespace quenlark::integration
