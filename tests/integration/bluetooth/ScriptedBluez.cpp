// SPDX-License-Identifier: MIT
#include "ScriptedBluez.hpp"

#include "ChildProcess.hpp"

#include <QDBusConnection>
#include <QFile>

#include <iostream>

namespace quenlark::integration {

namespace {

const QString scriptDirectory = QStringLiteral(QUENLARK_BLUETOOTH_TEST_DIR);
constexpr int callTimeoutMs = 20000;

} // namespace

ScriptedBluez::~ScriptedBluez()
{
    ChildProcess::stop(process_);
    // What the stand-in saw is the first thing to read when a test fails.
    if (testing::Test::HasFailure()) {
        QFile log(dir_.filePath(QStringLiteral("bluez.log")));
        if (log.open(QIODevice::ReadOnly)) {
            const QByteArray text = log.readAll();
            std::cerr << "--- scripted BlueZ log (end) ---\n"
                      << text.right(6000).toStdString() << "--- end of log ---\n";
        }
    }
}

testing::AssertionResult ScriptedBluez::stop()
{
    ChildProcess::stop(process_);
    if (process_.state() != QProcess::NotRunning)
        return testing::AssertionFailure() << "the scripted BlueZ did not stop";
    return testing::AssertionSuccess();
}

testing::AssertionResult ScriptedBluez::start()
{
    ChildProcess::endWithParent(process_);
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QStringList logArguments{QStringLiteral("--log"),
                                   dir_.filePath(QStringLiteral("bluez.log"))};
    if (owner_ == Owner::bluetoothd) {
        process_.start(scriptDirectory + QStringLiteral("/bluetoothd"), logArguments);
    } else {
        process_.start(QStringLiteral("/usr/bin/python3"),
                       QStringList{scriptDirectory + QStringLiteral("/scripted_bluez.py")} +
                           logArguments);
    }
    const auto line = ChildProcess::readLine(process_, QDeadlineTimer(30000));
    if (line != QStringLiteral("ready"))
        return testing::AssertionFailure() << "the scripted BlueZ did not get ready";
    return testing::AssertionSuccess();
}

QDBusMessage ScriptedBluez::call(const char* method, const QVariantList& arguments)
{
    auto message = QDBusMessage::createMethodCall(QStringLiteral("org.bluez"), QStringLiteral("/"),
                                                  QStringLiteral("org.bluez.Mock"),
                                                  QString::fromLatin1(method));
    message.setArguments(arguments);
    return QDBusConnection::systemBus().call(message, QDBus::Block, callTimeoutMs);
}

testing::AssertionResult ScriptedBluez::knob(const char* method, const QVariantList& arguments)
{
    const QDBusMessage reply = call(method, arguments);
    if (reply.type() == QDBusMessage::ErrorMessage)
        return testing::AssertionFailure()
               << method << " failed: " << reply.errorName().toStdString() << ": "
               << reply.errorMessage().toStdString();
    return testing::AssertionSuccess();
}

std::optional<QVariant> ScriptedBluez::answer(const char* method, const QString& address)
{
    const QDBusMessage reply = call(method, {address});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    return reply.arguments().constFirst();
}

} // namespace quenlark::integration
