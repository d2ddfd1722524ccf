// SPDX-License-Identifier: MIT
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <gtest/gtest.h>

namespace quenlark::integration {

// A process that serves a D-Bus name for a test: a python3-dbusmock template, or a real service.
// It is stopped when this object goes.
class MockService {
public:
    MockService() = default;
    ~MockService();
    MockService(const MockService&) = delete;
    MockService& operator=(const MockService&) = delete;

    // Starts the dbusmock template (a file, or one of dbusmock's own) on the session or system
    // bus and waits until it owns `name`.
    testing::AssertionResult startTemplate(bool systemBus, const QString& name,
                                           const QString& dbusmockTemplate);
    // Starts a program with extra environment and waits until it owns `name` on the session bus.
    testing::AssertionResult startProgram(const QString& program, const QString& name,
                                          const QProcessEnvironment& extra);

    // A blocking call on the service's org.freedesktop.DBus.Mock interface.
    QDBusMessage mock(const QString& path, const QString& method,
                      const QVariantList& arguments = {});

private:
    testing::AssertionResult start(const QString& program, const QStringList& arguments,
                                   const QString& name, const QProcessEnvironment& environment);

    QProcess process_;
    QDBusConnection bus_ = QDBusConnection::sessionBus();
    QString name_;
};

} // namespace quenlark::integration
