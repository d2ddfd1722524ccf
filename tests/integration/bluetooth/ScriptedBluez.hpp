// SPDX-License-Identifier: MIT
#pragma once

#include "ChildProcess.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <iostream>

namespace quenlark::integration {

// The scripted BlueZ (scripted_bluez.py) on the private system bus, run as a bluetoothd that
// answers --version or, as in a sandbox, as a bare Python whose version Qt cannot learn.
class ScriptedBluez {
public:
    explicit ScriptedBluez(bool asBluetoothd = true) : asBluetoothd_(asBluetoothd) {}
    ~ScriptedBluez()
    {
        ChildProcess::stop(process_);
        // What the stand-in saw is the first thing to read when a test fails.
        QFile log(dir_.filePath(QStringLiteral("bluez.log")));
        if (testing::Test::HasFailure() && log.open(QIODevice::ReadOnly))
            std::cerr << "--- scripted BlueZ log (end) ---\n"
                      << log.readAll().right(6000).toStdString() << "--- end of log ---\n";
    }

    // Starts it and waits until it owns org.bluez; it may be started again after stop().
    testing::AssertionResult start()
    {
        const QString script = QStringLiteral(QUENLARK_BLUETOOTH_TEST_DIR "/scripted_bluez.py");
        const QStringList log{QStringLiteral("--log"), dir_.filePath(QStringLiteral("bluez.log"))};
        ChildProcess::endWithParent(process_);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (asBluetoothd_)
            process_.start(QStringLiteral(QUENLARK_BLUETOOTH_TEST_DIR "/bluetoothd"), log);
        else
            process_.start(QStringLiteral("/usr/bin/python3"), QStringList{script} + log);
        if (ChildProcess::readLine(process_, QDeadlineTimer(30000)) != QStringLiteral("ready"))
            return testing::AssertionFailure() << "the scripted BlueZ did not get ready";
        return testing::AssertionSuccess();
    }
    // As when bluetoothd stops or crashes.
    testing::AssertionResult stop()
    {
        ChildProcess::stop(process_);
        return testing::AssertionResult(process_.state() == QProcess::NotRunning);
    }

    // One of its org.bluez.Mock methods (see scripted_bluez.py) and its answer, if any.
    QDBusMessage call(const char* method, const QVariantList& arguments)
    {
        auto message = QDBusMessage::createMethodCall(
            QStringLiteral("org.bluez"), QStringLiteral("/"), QStringLiteral("org.bluez.Mock"),
            QString::fromLatin1(method));
        message.setArguments(arguments);
        return QDBusConnection::systemBus().call(message, QDBus::Block, 20000);
    }
    testing::AssertionResult knob(const char* method, const QVariantList& arguments)
    {
        const QDBusMessage reply = call(method, arguments);
        return testing::AssertionResult(reply.type() == QDBusMessage::ReplyMessage)
               << method << ": " << reply.errorMessage().toStdString();
    }
    QVariant ask(const char* method, const QString& address)
    {
        const QDBusMessage reply = call(method, {address});
        return reply.type() == QDBusMessage::ReplyMessage ? reply.arguments().value(0) : QVariant();
    }

    testing::AssertionResult addAdapter()
    {
        return knob("AddAdapter", {QStringLiteral("hci0"), QStringLiteral("test host")});
    }
    // A clicker in range; one without a name sends none.
    testing::AssertionResult addClicker(const QString& address,
                                        const QString& name = QStringLiteral("Clicker One"))
    {
        return knob("AddPeripheral",
                    {QStringLiteral("hci0"), address, name,
                     QStringList{QStringLiteral("e20a39f4-73f5-4bc4-a12f-17d1ad07a961")}});
    }

private:
    bool asBluetoothd_;
    QTemporaryDir dir_;
    QProcess process_;
};

} // namespace quenlark::integration
