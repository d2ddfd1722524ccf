// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Linux/Bluez/BluezObjects.hpp"

#include <QDBusServiceWatcher>
#include <QObject>
#include <QPointer>
#include <QSet>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

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

    // Whose changes are followed: every object's (nullopt), or only those of these objects and of
    // the adapters, so that another program's discovery of a crowd costs next to nothing here. The
    // others go stale in the mirror until every object is followed again, which loads them afresh.
    void follow(const std::optional<QSet<QString>>& paths);

    // Loads every object afresh and calls `done` once the mirror holds them, unless `context` goes
    // first. bluetoothd announces a device's resolved services before the objects of those
    // services (src/device.c flushes ServicesResolved at once; gdbus adds objects when idle).
    void refresh(QObject* context, std::function<void()> done);

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
    bool followed(const QString& path) const;

    BluezObjects::Objects objects_;
    // Every object's changes are followed, or those of these objects alone.
    bool followingAll_ = true;
    QSet<QString> followed_;
    QDBusServiceWatcher watcher_;
    // Counts loads, so that an answer to an earlier one is dropped.
    quint64 generation_ = 0;
    // Who waits for the next load to be answered.
    std::vector<std::pair<QPointer<QObject>, std::function<void()>>> refreshing_;
};

} // namespace quenlark
