// SPDX-License-Identifier: MIT
#include "MockService.hpp"

#include "ChildProcess.hpp"

#include <QDBusConnectionInterface>
#include <QTest>

namespace quenlark::integration {

namespace {
constexpr int startTimeoutMs = 30000;
constexpr int callTimeoutMs = 20000;
} // namespace

MockService::~MockService()
{
    ChildProcess::stop(process_);
}

testing::AssertionResult MockService::startTemplate(bool systemBus, const QString& name,
                                                    const QString& dbusmockTemplate)
{
    bus_ = systemBus ? QDBusConnection::systemBus() : QDBusConnection::sessionBus();
    return start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-m"), QStringLiteral("dbusmock"),
                  systemBus ? QStringLiteral("--system") : QStringLiteral("--session"),
                  QStringLiteral("--template"), dbusmockTemplate},
                 name, QProcessEnvironment::systemEnvironment());
}

testing::AssertionResult MockService::startProgram(const QString& program, const QString& name,
                                                   const QProcessEnvironment& extra)
{
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert(extra);
    return start(program, {}, name, environment);
}

testing::AssertionResult MockService::start(const QString& program, const QStringList& arguments,
                                            const QString& name,
                                            const QProcessEnvironment& environment)
{
    name_ = name;
    ChildProcess::endWithParent(process_);
    process_.setProcessEnvironment(environment);
    // Their chatter (warnings about the missing parts of a desktop) matters to nobody here.
    process_.setStandardOutputFile(QProcess::nullDevice());
    process_.setStandardErrorFile(QProcess::nullDevice());
    process_.start(program, arguments);
    const auto owned = [this] { return bus_.interface()->isServiceRegistered(name_).value(); };
    const bool ended = !QTest::qWaitFor(
        [&] { return process_.state() != QProcess::NotRunning && owned(); }, startTimeoutMs);
    if (ended)
        return testing::AssertionFailure()
               << program.toStdString() << " did not take " << name.toStdString();
    return testing::AssertionSuccess();
}

QDBusMessage MockService::mock(const QString& path, const QString& method,
                               const QVariantList& arguments)
{
    auto message = QDBusMessage::createMethodCall(
        name_, path, QStringLiteral("org.freedesktop.DBus.Mock"), method);
    message.setArguments(arguments);
    return bus_.call(message, QDBus::Block, callTimeoutMs);
}

} // namespace quenlark::integration
