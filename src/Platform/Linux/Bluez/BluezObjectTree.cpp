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

void BluezObjectTree::follow(const std::optional<QSet<QString>>& paths)
{
    auto bus = QDBusConnection::systemBus();
    const auto watch = [&bus, this](const QString& path, bool on) {
        const QString name = QStringLiteral("PropertiesChanged");
        if (on)
            bus.connect(service, path, propertiesInterface, name, this,
                        SLOT(changeProperties(QDBusMessage)));
        else
            bus.disconnect(service, path, propertiesInterface, name, this,
                           SLOT(changeProperties(QDBusMessage)));
    };
    if (!paths) {
        if (followingAll_)
            return;
        for (const QString& path : std::as_const(followed_))
            watch(path, false);
        followed_.clear();
        watch(QString(), true);
        followingAll_ = true;
        load();
        return;
    }
    for (const QString& path : *paths) {
        if (!followed_.contains(path))
            watch(path, true);
    }
    for (const QString& path : std::as_const(followed_)) {
        if (!paths->contains(path))
            watch(path, false);
    }
    followed_ = *paths;
    if (followingAll_)
        watch(QString(), false);
    followingAll_ = false;
}

// Adapters (/org/bluez/hciN) are always followed; a device's objects with the device.
bool BluezObjectTree::followed(const QString& path) const
{
    return followingAll_ || path.count(u'/') <= 3 || followed_.contains(path.section(u'/', 0, 4));
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
void BluezObjectTree::refresh(QObject* context, std::function<void()> done)
{
    refreshing_.emplace_back(context, std::move(done));
    load();
}

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
                for (const auto& [context, done] : std::exchange(refreshing_, {})) {
                    if (context)
                        done();
                }
            });
}

void BluezObjectTree::addInterfaces(const QDBusMessage& message)
{
    if (message.arguments().size() < 2)
        return;
    const QString path = message.arguments().at(0).value<QDBusObjectPath>().path();
    if (!followed(path))
        return;
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
    if (!followed(path))
        return;
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
