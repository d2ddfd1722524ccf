// SPDX-License-Identifier: MIT
#include "Platform/Linux/Bluez/BluezObjectTree.hpp"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>

namespace quenlark {

using namespace BluezObjects;

BluezObjectTree::BluezObjectTree(QObject* parent)
    : QObject(parent),
      watcher_(service, QDBusConnection::systemBus(), QDBusServiceWatcher::WatchForOwnerChange)
{
    auto bus = QDBusConnection::systemBus();
    bus.connect(service, QStringLiteral("/"), objectManagerInterface,
                QStringLiteral("InterfacesAdded"), this, SLOT(addInterfaces(QDBusMessage)));
    bus.connect(service, QStringLiteral("/"), objectManagerInterface,
                QStringLiteral("InterfacesRemoved"), this, SLOT(removeInterfaces(QDBusMessage)));
    // Every object of bluetoothd's: devices and their attributes come and go.
    bus.connect(service, QString(), propertiesInterface, QStringLiteral("PropertiesChanged"), this,
                SLOT(changeProperties(QDBusMessage)));
    connect(&watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& owner) {
                objects_.clear();
                ++generation_;
                Q_EMIT reloaded();
                if (!owner.isEmpty())
                    load();
            });
    load();
}

const QVariantMap* BluezObjectTree::properties(const QString& path, const QString& interface) const
{
    const auto object = objects_.constFind(path);
    if (object == objects_.constEnd())
        return nullptr;
    const auto found = object->constFind(interface);
    return found == object->constEnd() ? nullptr : &*found;
}

QStringList BluezObjectTree::pathsWith(const QString& interface, const QString& under) const
{
    QStringList paths;
    const QString prefix = under + u'/';
    for (auto it = objects_.constBegin(); it != objects_.constEnd(); ++it) {
        if (it->contains(interface) && (under.isEmpty() || it.key().startsWith(prefix)))
            paths.append(it.key());
    }
    paths.sort();
    return paths;
}

// Signals that arrive before the answer are older than it: the answer replaces them all.
void BluezObjectTree::load()
{
    const auto call = QDBusMessage::createMethodCall(
        service, QStringLiteral("/"), objectManagerInterface, QStringLiteral("GetManagedObjects"));
    auto* pending = new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this, pending, generation = ++generation_] {
                pending->deleteLater();
                const QDBusMessage reply = pending->reply();
                if (generation != generation_)
                    return;
                // No answer: bluetoothd is not there, and its coming is watched for.
                objects_ =
                    reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
                        ? decodeObjects(reply.arguments().constFirst().value<QDBusArgument>())
                        : Objects{};
                Q_EMIT reloaded();
            });
}

void BluezObjectTree::addInterfaces(const QDBusMessage& message)
{
    if (message.arguments().size() < 2)
        return;
    const QString path = message.arguments().at(0).value<QDBusObjectPath>().path();
    const Interfaces added = decodeInterfaces(message.arguments().at(1).value<QDBusArgument>());
    Interfaces& known = objects_[path];
    for (auto it = added.constBegin(); it != added.constEnd(); ++it)
        known.insert(it.key(), it.value());
    Q_EMIT interfacesAdded(path, added.keys());
}

void BluezObjectTree::removeInterfaces(const QDBusMessage& message)
{
    if (message.arguments().size() < 2)
        return;
    const QString path = message.arguments().at(0).value<QDBusObjectPath>().path();
    const QStringList removed = message.arguments().at(1).toStringList();
    const auto object = objects_.find(path);
    if (object == objects_.end())
        return;
    for (const QString& interface : removed)
        object->remove(interface);
    if (object->isEmpty())
        objects_.erase(object);
    Q_EMIT interfacesRemoved(path, removed);
}

void BluezObjectTree::changeProperties(const QDBusMessage& message)
{
    if (message.arguments().size() < 3)
        return;
    const QString interface = message.arguments().at(0).toString();
    const QVariantMap changed = qdbus_cast<QVariantMap>(message.arguments().at(1));
    const QStringList invalidated = message.arguments().at(2).toStringList();
    const auto object = objects_.find(message.path());
    if (object == objects_.end())
        return;
    const auto properties = object->find(interface);
    if (properties == object->end())
        return;
    for (auto it = changed.constBegin(); it != changed.constEnd(); ++it)
        properties->insert(it.key(), it.value());
    for (const QString& name : invalidated)
        properties->remove(name);
    Q_EMIT propertiesChanged(message.path(), interface, changed);
}

} // namespace quenlark
