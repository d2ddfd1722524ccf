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

    // The knobs, on the one adapter hci0. A device is given by its address.
    testing::AssertionResult addAdapter()
    {
        return knob("AddAdapter", {adapter(), QStringLiteral("test host")});
    }
    // Removes the adapter and every device under it.
    testing::AssertionResult removeAdapter()
    {
        return knob("RemoveAdapterWithDevices", {adapter()});
    }
    testing::AssertionResult setPowered(bool on) { return knob("SetPowered", {adapter(), on}); }
    testing::AssertionResult setDiscoverable(bool on)
    {
        return knob("SetDiscoverable", {adapter(), on});
    }
    // A device in range advertising `services`; an empty name means it sends none.
    testing::AssertionResult addPeripheral(const QString& address, const QString& name,
                                           const QStringList& services)
    {
        return knob("AddPeripheral", {adapter(), address, name, services});
    }
    testing::AssertionResult removePeripheral(const QString& address)
    {
        return knob("RemovePeripheral", {address});
    }
    testing::AssertionResult setConnectBehaviour(const QString& address, ConnectBehaviour how)
    {
        const char* const names[] = {"succeed", "fail", "hang", "unresolved"};
        return knob("SetConnectBehaviour",
                    {address, QString::fromLatin1(names[static_cast<int>(how)])});
    }
    testing::AssertionResult setNotifyBehaviour(const QString& address, NotifyBehaviour how)
    {
        const char* const names[] = {"succeed", "fail", "hang"};
        return knob("SetNotifyBehaviour",
                    {address, QString::fromLatin1(names[static_cast<int>(how)])});
    }
    // Out of range: BlueZ keeps it, without RSSI, and Connect waits for it until the kernel gives
    // up.
    testing::AssertionResult setAdvertising(const QString& address, bool advertising)
    {
        return knob("SetAdvertising", {address, advertising});
    }
    // Discovery ends while the adapter stays on, and BlueZ refuses a new start as busy.
    testing::AssertionResult endDiscovery() { return knob("EndDiscovery", {adapter()}); }
    testing::AssertionResult dropLink(const QString& address)
    {
        return knob("DropLink", {address});
    }
    testing::AssertionResult notify(const QString& address, const QByteArray& value)
    {
        return knob("Notify", {address, value});
    }
    testing::AssertionResult setRssi(const QString& address, qint16 rssi)
    {
        return knob("SetRssi", {address, QVariant::fromValue(rssi)});
    }
    std::optional<bool> isNotifying(const QString& address)
    {
        return toBool(answer("IsNotifying", address));
    }
    std::optional<bool> isConnected(const QString& address)
    {
        return toBool(answer("IsConnected", address));
    }
    // How many times the device's Connect was called, -1 without an answer.
    int connectCalls(const QString& address)
    {
        return answer("ConnectCalls", address).value_or(-1).toInt();
    }

    static QString clickerService()
    {
        return QStringLiteral("e20a39f4-73f5-4bc4-a12f-17d1ad07a961");
    }
    static QString heartRateService()
    {
        return QStringLiteral("0000180d-0000-1000-8000-00805f9b34fb");
    }

private:
    static QString adapter() { return QStringLiteral("hci0"); }
    QDBusMessage call(const char* method, const QVariantList& arguments);
    testing::AssertionResult knob(const char* method, const QVariantList& arguments);
    // The first value of the reply, if there is one.
    std::optional<QVariant> answer(const char* method, const QString& address);
    static std::optional<bool> toBool(const std::optional<QVariant>& value)
    {
        return value ? std::optional(value->toBool()) : std::nullopt;
    }

    Owner owner_;
    QTemporaryDir dir_;
    QProcess process_;
};

} // namespace quenlark::integration
