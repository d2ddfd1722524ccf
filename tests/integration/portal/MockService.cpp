// SPDX-License-Identifier: MIT
#include "MockService.hpp"

#include "ChildProcess.hpp"

#include <QDBusConnectionInterface>
#include <QTest>

namespace quenlark::integration {

MockService::~MockService()
{
    ChildProcess::stop(process_);
}

testing::AssertionResult MockService::startTemplate(bool systemBus, const QString& name,
                                                    const QString& dbusmockTemplate)
{
    bus_ = systemBus ? QDBusConnection::systemBus() : QDBusConnection::sessionBus();
    return startProgram(QStringLiteral("/usr/bin/python3"), name, {},
                        {QStringLiteral("-m"), QStringLiteral("dbusmock"),
                         systemBus ? QStringLiteral("--system") : QStringLiteral("--session"),
                         QStringLiteral("--template"), dbusmockTemplate});
}

testing::AssertionResult MockService::startProgram(const QString& program, const QString& name,
                                                   const QProcessEnvironment& extra,
                                                   const QStringList& arguments)
{
    name_ = name;
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert(extra);
    ChildProcess::endWithParent(process_);
    process_.setProcessEnvironment(environment);
    // Their chatter (warnings about the missing parts of a desktop) matters to nobody here.
    process_.setStandardOutputFile(QProcess::nullDevice());
    process_.setStandardErrorFile(QProcess::nullDevice());
    process_.start(program, arguments);
    if (QTest::qWaitFor([this] { return bus_.interface()->isServiceRegistered(name_).value(); },
                        30000))
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << program.toStdString() << " did not take " << name.toStdString();
}

QDBusMessage MockService::mock(const QString& path, const QString& method,
                               const QVariantList& arguments)
{
    auto message = QDBusMessage::createMethodCall(
        name_, path, QStringLiteral("org.freedesktop.DBus.Mock"), method);
    message.setArguments(arguments);
    return bus_.call(message, QDBus::Block, 20000);
}

} // namespace quenlark::integration
