// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QDBusMessage>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantList>

#include <gtest/gtest.h>

#include <optional>

namespace quenlark::integration {

// The scripted BlueZ (scripted_bluez.py) on the private system bus, and its knobs. Each test gets
// a fresh one; it is stopped when this object goes.
class ScriptedBluez {
public:
    // What Qt finds when it looks at the command line of org.bluez's owner to learn bluetoothd's
    // version: a bluetoothd that answers --version, or a bare Python, as in a sandbox.
    enum class Owner { bluetoothd, python };
    enum class ConnectBehaviour { succeed, fail, hang, unresolved };
    enum class NotifyBehaviour { succeed, fail, hang };

    explicit ScriptedBluez(Owner owner = Owner::bluetoothd) : owner_(owner) {}
    ~ScriptedBluez();
    ScriptedBluez(const ScriptedBluez&) = delete;
    ScriptedBluez& operator=(const ScriptedBluez&) = delete;

    // Starts it and waits until it owns org.bluez; it may be started again after stop().
    testing::AssertionResult start();
    // Ends it, as when bluetoothd stops or crashes.
    testing::AssertionResult stop();

    testing::AssertionResult addAdapter(const QString& adapter = defaultAdapter());
    // Removes the adapter and every device under it.
    testing::AssertionResult removeAdapter(const QString& adapter = defaultAdapter());
    testing::AssertionResult setPowered(bool powered, const QString& adapter = defaultAdapter());
    testing::AssertionResult setDiscoverable(bool discoverable,
                                             const QString& adapter = defaultAdapter());
    // A device in range advertising `services`; an empty name means it sends none.
    testing::AssertionResult addPeripheral(const QString& address, const QString& name,
                                           const QStringList& services,
                                           const QString& adapter = defaultAdapter());
    testing::AssertionResult removePeripheral(const QString& address);
    testing::AssertionResult setConnectBehaviour(const QString& address,
                                                 ConnectBehaviour behaviour);
    testing::AssertionResult setNotifyBehaviour(const QString& address, NotifyBehaviour behaviour);
    // Out of range: BlueZ keeps it, without RSSI, and Connect waits for it until the kernel gives
    // up.
    testing::AssertionResult setAdvertising(const QString& address, bool advertising);
    // Discovery ends while the adapter stays on, and BlueZ refuses a new start as busy.
    testing::AssertionResult endDiscovery(const QString& adapter = defaultAdapter());
    testing::AssertionResult dropLink(const QString& address);
    testing::AssertionResult notify(const QString& address, const QByteArray& value);
    testing::AssertionResult setRssi(const QString& address, qint16 rssi);
    std::optional<bool> isNotifying(const QString& address);
    std::optional<bool> isConnected(const QString& address);
    // How many times the device's Connect was called.
    int connectCalls(const QString& address);

    static QString defaultAdapter() { return QStringLiteral("hci0"); }
    static QString clickerService();
    static QString heartRateService();

private:
    QDBusMessage call(const QString& method, const QVariantList& arguments);
    testing::AssertionResult knob(const QString& method, const QVariantList& arguments);
    std::optional<bool> question(const QString& method, const QString& address);

    Owner owner_;
    QTemporaryDir dir_;
    QProcess process_;
};

} // namespace quenlark::integration
