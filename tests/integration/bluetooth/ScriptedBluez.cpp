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

// The knobs take the enumerators' names, in the order they are declared.
QString behaviourName(ScriptedBluez::ConnectBehaviour behaviour)
{
    static const QStringList names{QStringLiteral("succeed"), QStringLiteral("fail"),
                                   QStringLiteral("hang"), QStringLiteral("unresolved")};
    return names.at(static_cast<int>(behaviour));
}

QString behaviourName(ScriptedBluez::NotifyBehaviour behaviour)
{
    static const QStringList names{QStringLiteral("succeed"), QStringLiteral("fail"),
                                   QStringLiteral("hang")};
    return names.at(static_cast<int>(behaviour));
}

} // namespace

QString ScriptedBluez::clickerService()
{
    return QStringLiteral("e20a39f4-73f5-4bc4-a12f-17d1ad07a961");
}

QString ScriptedBluez::heartRateService()
{
    return QStringLiteral("0000180d-0000-1000-8000-00805f9b34fb");
}

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

QDBusMessage ScriptedBluez::call(const QString& method, const QVariantList& arguments)
{
    auto message = QDBusMessage::createMethodCall(QStringLiteral("org.bluez"), QStringLiteral("/"),
                                                  QStringLiteral("org.bluez.Mock"), method);
    message.setArguments(arguments);
    return QDBusConnection::systemBus().call(message, QDBus::Block, callTimeoutMs);
}

testing::AssertionResult ScriptedBluez::knob(const QString& method, const QVariantList& arguments)
{
    const QDBusMessage reply = call(method, arguments);
    if (reply.type() == QDBusMessage::ErrorMessage)
        return testing::AssertionFailure()
               << method.toStdString() << " failed: " << reply.errorName().toStdString() << ": "
               << reply.errorMessage().toStdString();
    return testing::AssertionSuccess();
}

std::optional<bool> ScriptedBluez::question(const QString& method, const QString& address)
{
    const QDBusMessage reply = call(method, {address});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    return reply.arguments().constFirst().toBool();
}

testing::AssertionResult ScriptedBluez::addAdapter(const QString& adapter)
{
    return knob(QStringLiteral("AddAdapter"), {adapter, QStringLiteral("test host")});
}

testing::AssertionResult ScriptedBluez::removeAdapter(const QString& adapter)
{
    return knob(QStringLiteral("RemoveAdapterWithDevices"), {adapter});
}

testing::AssertionResult ScriptedBluez::setPowered(bool powered, const QString& adapter)
{
    return knob(QStringLiteral("SetPowered"), {adapter, powered});
}

testing::AssertionResult ScriptedBluez::setDiscoverable(bool discoverable, const QString& adapter)
{
    return knob(QStringLiteral("SetDiscoverable"), {adapter, discoverable});
}

testing::AssertionResult ScriptedBluez::addPeripheral(const QString& address, const QString& name,
                                                      const QStringList& services,
                                                      const QString& adapter)
{
    return knob(QStringLiteral("AddPeripheral"), {adapter, address, name, services});
}

testing::AssertionResult ScriptedBluez::removePeripheral(const QString& address)
{
    return knob(QStringLiteral("RemovePeripheral"), {address});
}

testing::AssertionResult ScriptedBluez::setConnectBehaviour(const QString& address,
                                                            ConnectBehaviour behaviour)
{
    return knob(QStringLiteral("SetConnectBehaviour"), {address, behaviourName(behaviour)});
}

testing::AssertionResult ScriptedBluez::setNotifyBehaviour(const QString& address,
                                                           NotifyBehaviour behaviour)
{
    return knob(QStringLiteral("SetNotifyBehaviour"), {address, behaviourName(behaviour)});
}

testing::AssertionResult ScriptedBluez::setAdvertising(const QString& address, bool advertising)
{
    return knob(QStringLiteral("SetAdvertising"), {address, advertising});
}

testing::AssertionResult ScriptedBluez::endDiscovery(const QString& adapter)
{
    return knob(QStringLiteral("EndDiscovery"), {adapter});
}

testing::AssertionResult ScriptedBluez::dropLink(const QString& address)
{
    return knob(QStringLiteral("DropLink"), {address});
}

testing::AssertionResult ScriptedBluez::notify(const QString& address, const QByteArray& value)
{
    return knob(QStringLiteral("Notify"), {address, value});
}

testing::AssertionResult ScriptedBluez::setRssi(const QString& address, qint16 rssi)
{
    return knob(QStringLiteral("SetRssi"), {address, QVariant::fromValue(rssi)});
}

std::optional<bool> ScriptedBluez::isNotifying(const QString& address)
{
    return question(QStringLiteral("IsNotifying"), address);
}

std::optional<bool> ScriptedBluez::isConnected(const QString& address)
{
    return question(QStringLiteral("IsConnected"), address);
}

int ScriptedBluez::connectCalls(const QString& address)
{
    const QDBusMessage reply = call(QStringLiteral("ConnectCalls"), {address});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return -1;
    return reply.arguments().constFirst().toInt();
}

} // namespace quenlark::integration
