// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Linux/Bluez/BluezObjects.hpp"

#include <QDBusServiceWatcher>
#include <QObject>

class QDBusMessage;

namespace quenlark {

// A mirror of bluetoothd's objects on the system bus, kept by its own signals: filled from
// GetManagedObjects when bluetoothd appears, changed by InterfacesAdded, InterfacesRemoved and
// PropertiesChanged, emptied when bluetoothd goes. Each change is told after the mirror holds it.
class BluezObjectTree : public QObject {
    Q_OBJECT

public:
    explicit BluezObjectTree(QObject* parent = nullptr);

    // The properties of one interface of one object, or nullptr where it has none.
    const QVariantMap* properties(const QString& path, const QString& interface) const;
    // The objects that have `interface`, in path order, optionally only those below `under`.
    QStringList pathsWith(const QString& interface, const QString& under = {}) const;

Q_SIGNALS:
    // The whole mirror was replaced: bluetoothd came, went or answered anew.
    void reloaded();
    void interfacesAdded(const QString& path, const QStringList& interfaces);
    void interfacesRemoved(const QString& path, const QStringList& interfaces);
    void propertiesChanged(const QString& path, const QString& interface,
                           const QVariantMap& changed);

private Q_SLOTS:
    void addInterfaces(const QDBusMessage& message);
    void removeInterfaces(const QDBusMessage& message);
    void changeProperties(const QDBusMessage& message);

private:
    void load();

    BluezObjects::Objects objects_;
    QDBusServiceWatcher watcher_;
    // Counts loads, so that an answer to an earlier one is dropped.
    quint64 generation_ = 0;
};

} // namespace quenlark
