// SPDX-License-Identifier: MIT
#pragma once

#include "ChildProcess.hpp"

#include <QDBusConnection>
#include <QDBusMessage>

#include <gtest/gtest.h>

namespace quenlark::integration {

// The scripted BlueZ on the private system bus. It runs as a bare Python, as in a sandbox: Qt
// cannot learn bluetoothd's version from its command line and must still choose the D-Bus backend.
class ScriptedBluez {
public:
    // Starts it and waits until it owns org.bluez; it may be started again after stop().
    testing::AssertionResult start()
    {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QStringLiteral("/usr/bin/python3"),
                       {QStringLiteral(QUENLARK_BLUETOOTH_TEST_DIR "/scripted_bluez.py")});
        const auto line = process_.nextLine(QDeadlineTimer(30000));
        return testing::AssertionResult(line == QStringLiteral("ready")) << "not ready";
    }
    // As when bluetoothd stops or crashes.
    testing::AssertionResult stop()
    {
        process_.stop();
        return testing::AssertionResult(process_.state() == QProcess::NotRunning);
    }

    // Its org.bluez.Mock methods: one that changes the scene, one that asks about a device.
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
    static QDBusMessage call(const char* method, const QVariantList& arguments)
    {
        auto message = QDBusMessage::createMethodCall(
            QStringLiteral("org.bluez"), QStringLiteral("/"), QStringLiteral("org.bluez.Mock"),
            QString::fromLatin1(method));
        message.setArguments(arguments);
        return QDBusConnection::systemBus().call(message, QDBus::Block, 20000);
    }

    ChildProcess process_;
};

} // namespace quenlark::integration
