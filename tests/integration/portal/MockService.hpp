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

// A process that serves a D-Bus name for a test, stopped when this object goes: a real service, or
// a python3-dbusmock template (a file, or one of dbusmock's own).
class MockService {
public:
    ~MockService();

    testing::AssertionResult startTemplate(bool systemBus, const QString& name,
                                           const QString& dbusmockTemplate);
    // Starts the program and waits until it owns name on the session bus (or the template's bus).
    testing::AssertionResult startProgram(const QString& program, const QString& name,
                                          const QProcessEnvironment& extra = {},
                                          const QStringList& arguments = {});

    // A blocking call on the service's org.freedesktop.DBus.Mock interface.
    QDBusMessage mock(const QString& path, const QString& method,
                      const QVariantList& arguments = {});

private:
    QProcess process_;
    QDBusConnection bus_ = QDBusConnection::sessionBus();
    QString name_;
};

} // namespace quenlark::integration
