// SPDX-License-Identifier: MIT
#include "Platform/Linux/Bluez/BluezPeripheral.hpp"

#include "BluezCharacteristicProxy.h"
#include "BluezDeviceProxy.h"
#include "Platform/Linux/Bluez/BluezObjectTree.hpp"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QLoggingCategory>

#include <algorithm>

namespace quenlark {

using namespace BluezObjects;

namespace {

Q_LOGGING_CATEGORY(lcPeripheral, "quenlark.bluetooth.peripheral")

// How long a cut may wait for bluetoothd to finish resolving services: a silent device's link
// ends at the radio's supervision timeout, a stalled request's at bluetoothd's own 30 s ATT
// timeout.
constexpr std::chrono::milliseconds resolvingBound{35000};

QString releaseName(const QString& path)
{
    return QStringLiteral("release ") + path;
}

OptionalError errorOf(const QDBusError& error)
{
    if (!error.isValid())
        return std::nullopt;
    return PlatformError{error.message().isEmpty() ? error.name() : error.message()};
}

void cutLink(const QString& path)
{
    OrgBluezDevice1Interface(service, path, QDBusConnection::systemBus()).Disconnect();
}

} // namespace

BluezPeripheral::BluezPeripheral(std::shared_ptr<BluezObjectTree> tree, QString path,
                                 std::shared_ptr<LinkRetries> retries)
    : tree_(std::move(tree)), path_(std::move(path)), retries_(std::move(retries))
{
    linkTimer_.setSingleShot(true);
    connect(&linkTimer_, &QTimer::timeout, this, &BluezPeripheral::timerExpired);
    connect(tree_.get(), &BluezObjectTree::propertiesChanged, this,
            [this](const QString& path, const QString& interface, const QVariantMap& changed) {
                if (path == path_ && interface == deviceInterface)
                    deviceChanged();
                else if (interface == characteristicInterface &&
                         changed.contains(QStringLiteral("Value")))
                    valueChanged(path, changed.value(QStringLiteral("Value")).toByteArray());
            });
    connect(tree_.get(), &BluezObjectTree::interfacesRemoved, this, [this](const QString& path) {
        if (path == path_)
            deviceChanged();
    });
    connect(tree_.get(), &BluezObjectTree::reloaded, this, &BluezPeripheral::deviceChanged);
}

BluezPeripheral::~BluezPeripheral()
{
    if (link_ != Link::idle) {
        ++session_;
        observer_ = nullptr;
        endLink(LinkEvent::disconnected, std::nullopt);
    }
}

const QVariantMap* BluezPeripheral::device() const
{
    return tree_->properties(path_, deviceInterface);
}

QString BluezPeripheral::address() const
{
    const QVariantMap* properties = device();
    return properties ? properties->value(QStringLiteral("Address")).toString() : QString();
}

QUuid BluezPeripheral::identifier() const
{
    return identifierOf(address());
}

// bluetoothd names a device without a name by its address, as its alias.
std::optional<QString> BluezPeripheral::name() const
{
    const QVariantMap* properties = device();
    const QString name =
        properties ? properties->value(QStringLiteral("Name")).toString() : QString();
    if (name.isEmpty())
        return std::nullopt;
    return name;
}

template <typename Deliver> void BluezPeripheral::post(Deliver deliver)
{
    QMetaObject::invokeMethod(
        this,
        [this, session = session_, deliver = std::move(deliver)] {
            // Nothing may touch this object after the delegate returns: the link may have let go
            // of it inside the callback.
            if (session == session_ && delegate_)
                deliver(*delegate_);
        },
        Qt::QueuedConnection);
}

void BluezPeripheral::connectToDevice(std::chrono::milliseconds connectTimeout,
                                      std::chrono::milliseconds setupTimeout, LinkObserver observer)
{
    observer_ = std::move(observer);
    if (link_ == Link::connected) {
        observer_(LinkEvent::connected, std::nullopt);
        return;
    }
    if (link_ != Link::idle)
        return;
    ++session_;
    services_.reset();
    listening_ = nullptr;
    subscribing_ = false;
    subscribed_ = false;
    connectTimeout_ = connectTimeout;
    setupTimeout_ = setupTimeout;
    const auto wait = retries_->wait();
    if (wait.count() > 0) {
        link_ = Link::waiting;
        linkTimer_.start(wait);
        return;
    }
    beginAttempt();
}

void BluezPeripheral::beginAttempt()
{
    link_ = Link::connecting;
    // A cut still waiting for the services to be resolved would end this attempt's link.
    delete tree_->findChild<QObject*>(releaseName(path_), Qt::FindDirectChildrenOnly);
    linkTimer_.start(connectTimeout_);
    const QVariantMap* properties = device();
    if (!properties) {
        // Queued, as every report: the link hears of it after this call.
        QTimer::singleShot(0, this, [this, session = session_] {
            if (session == session_ && link_ == Link::connecting)
                endLink(
                    LinkEvent::failedToConnect,
                    PlatformError{QStringLiteral("The device is no longer known to the system")});
        });
        return;
    }
    if (!properties->value(QStringLiteral("Connected")).toBool()) {
        OrgBluezDevice1Interface proxy(service, path_, QDBusConnection::systemBus());
        proxy.setTimeout(static_cast<int>(connectTimeout_.count()) + 5000);
        whenAnswered(this, proxy.Connect(), [this, session = session_](const QDBusError& error) {
            // A Connect that fails while bluetoothd connects by other means says nothing of the
            // link.
            if (session != session_ || link_ != Link::connecting || !error.isValid())
                return;
            const QVariantMap* now = device();
            if (!now || !now->value(QStringLiteral("Connected")).toBool())
                endLink(LinkEvent::failedToConnect, errorOf(error));
        });
    }
    deviceChanged();
}

void BluezPeripheral::timerExpired()
{
    switch (link_) {
    case Link::waiting:
        beginAttempt();
        break;
    case Link::connecting:
        endLink(LinkEvent::failedToConnect,
                PlatformError{QStringLiteral("The connection attempt timed out")});
        break;
    case Link::connected:
        if (!subscribed_)
            endLink(LinkEvent::disconnected,
                    PlatformError{QStringLiteral("The device did not finish setting up in time")});
        break;
    case Link::idle:
        break;
    }
}

void BluezPeripheral::deviceChanged()
{
    if (link_ != Link::connecting && link_ != Link::connected)
        return;
    const QVariantMap* properties = device();
    if (!properties) {
        endLink(link_ == Link::connected ? LinkEvent::disconnected : LinkEvent::failedToConnect,
                PlatformError{QStringLiteral("The device is no longer known to the system")});
        return;
    }
    const bool connected = properties->value(QStringLiteral("Connected")).toBool();
    if (link_ == Link::connected && !connected) {
        endLink(LinkEvent::disconnected,
                PlatformError{QStringLiteral("Remote device closed the connection")});
        return;
    }
    if (link_ == Link::connecting && connected &&
        properties->value(QStringLiteral("ServicesResolved")).toBool())
        servicesResolved();
}

// bluetoothd's input profile may be asking to pair by now: the UUIDs are read the moment the
// services are resolved, and a keyboard's link is cut before the device is removed, so that the
// link remembers nothing of it.
void BluezPeripheral::servicesResolved()
{
    const QVariantMap* properties = device();
    if (offersInput(properties->value(QStringLiteral("UUIDs")).toStringList())) {
        qCWarning(lcPeripheral).noquote()
            << QStringLiteral("Refused %1 and had the system forget it: it offers the HID "
                              "service, as a keyboard does")
                   .arg(address());
        endLink(
            LinkEvent::refusedAsInput,
            PlatformError{QStringLiteral("The device offers the HID service, as a keyboard does")});
        return;
    }
    link_ = Link::connected;
    linkTimer_.start(setupTimeout_);
    observer_(LinkEvent::connected, std::nullopt);
}

void BluezPeripheral::cancelConnection()
{
    if (link_ == Link::idle)
        return;
    ++session_;
    endLink(LinkEvent::disconnected, std::nullopt);
}

void BluezPeripheral::abandon(const PlatformError& error)
{
    if (link_ == Link::idle)
        return;
    // Not the clicker's doing: no word of pairing.
    subscribing_ = false;
    endLink(link_ == Link::connected ? LinkEvent::disconnected : LinkEvent::failedToConnect, error);
}

// A connection that ends before it was subscribed failed, unless it was cancelled (no error).
void BluezPeripheral::endLink(LinkEvent event, const OptionalError& error)
{
    const Link was = link_;
    linkTimer_.stop();
    link_ = Link::idle;
    if (listening_) {
        OrgBluezGattCharacteristic1Interface(service, listening_->path(),
                                             QDBusConnection::systemBus())
            .StopNotify();
        listening_ = nullptr;
    }
    const QVariantMap* properties = device();
    const bool linked = properties && properties->value(QStringLiteral("Connected")).toBool();
    if (event == LinkEvent::refusedAsInput && properties) {
        // Adapter1.RemoveDevice drops a link too, but only after bluetoothd's two-second grace
        // for its profiles: Disconnect goes first.
        cutLink(path_);
        const QString adapter =
            properties->value(QStringLiteral("Adapter")).value<QDBusObjectPath>().path();
        auto call = QDBusMessage::createMethodCall(service, adapter, adapterInterface,
                                                   QStringLiteral("RemoveDevice"));
        call << QVariant::fromValue(QDBusObjectPath(path_));
        QDBusConnection::systemBus().send(call);
    } else if (was != Link::waiting && linked) {
        disconnectWhenSafe(*tree_, path_);
    }
    if (!subscribed_ && error) {
        retries_->failed(subscribing_);
        // bluetoothd pairs on its own when the clicker asks for encryption; without a yes from
        // the desktop's agent the subscription is never confirmed.
        if (subscribing_)
            qCWarning(lcPeripheral).noquote()
                << QStringLiteral("Subscription to %1 not confirmed (%2): if the clicker needs an "
                                  "encrypted link, its pairing was refused or not answered")
                       .arg(address(), error->localizedDescription);
    }
    subscribing_ = false;
    // The services stay until the next attempt, so callbacks already queued still find them.
    if (observer_)
        observer_(event, error);
}

void BluezPeripheral::disconnectWhenSafe(BluezObjectTree& tree, const QString& path)
{
    const auto resolving = [&tree, path] {
        const QVariantMap* properties = tree.properties(path, deviceInterface);
        return properties && properties->value(QStringLiteral("Connected")).toBool() &&
               !properties->value(QStringLiteral("ServicesResolved")).toBool();
    };
    if (!resolving()) {
        cutLink(path);
        return;
    }
    // Named after the device, so that a new attempt finds it and takes the link back.
    auto* waiting = new QObject(&tree);
    waiting->setObjectName(releaseName(path));
    const auto settle = [&tree, waiting, path, resolving] {
        if (resolving())
            return;
        const QVariantMap* properties = tree.properties(path, deviceInterface);
        if (properties && properties->value(QStringLiteral("Connected")).toBool())
            cutLink(path);
        waiting->deleteLater();
    };
    QObject::connect(&tree, &BluezObjectTree::propertiesChanged, waiting, settle);
    QObject::connect(&tree, &BluezObjectTree::reloaded, waiting, settle);
    QTimer::singleShot(resolvingBound, waiting, [waiting, path] {
        cutLink(path);
        waiting->deleteLater();
    });
}

void BluezPeripheral::discoverServices(const QList<QUuid>& uuids)
{
    if (link_ != Link::connected) {
        qCDebug(lcPeripheral) << "Service discovery asked for while not connected";
        return;
    }
    if (!services_) {
        services_.emplace();
        for (const QString& path : tree_->pathsWith(gattServiceInterface, path_)) {
            const QVariantMap* properties = tree_->properties(path, gattServiceInterface);
            const QUuid uuid(properties->value(QStringLiteral("UUID")).toString());
            if (properties->value(QStringLiteral("Primary"), true).toBool() &&
                (uuids.isEmpty() || uuids.contains(uuid)))
                services_->push_back(std::make_unique<BluezService>(path, uuid));
        }
    }
    post([this](PeripheralDelegate& delegate) {
        delegate.peripheralDidDiscoverServices(*this, std::nullopt);
    });
}

std::optional<QList<Service*>> BluezPeripheral::services() const
{
    return borrowedList<Service>(services_);
}

BluezService* BluezPeripheral::find(const Service& service) const
{
    if (!services_)
        return nullptr;
    const auto it =
        std::find_if(services_->begin(), services_->end(),
                     [&service](const auto& candidate) { return candidate.get() == &service; });
    return it == services_->end() ? nullptr : it->get();
}

void BluezPeripheral::discoverCharacteristics(const QList<QUuid>& uuids, Service& service)
{
    BluezService* known = find(service);
    if (!known || link_ != Link::connected) {
        qCDebug(lcPeripheral) << "Characteristic discovery asked for while not connected";
        return;
    }
    auto& found = known->found();
    if (!found) {
        found.emplace();
        for (const QString& path : tree_->pathsWith(characteristicInterface, known->path())) {
            const QVariantMap* properties = tree_->properties(path, characteristicInterface);
            const QUuid uuid(properties->value(QStringLiteral("UUID")).toString());
            if (uuids.isEmpty() || uuids.contains(uuid))
                found->push_back(std::make_unique<BluezCharacteristic>(path, uuid));
        }
    }
    post([this, known](PeripheralDelegate& delegate) {
        delegate.peripheralDidDiscoverCharacteristicsForService(*this, *known, std::nullopt);
    });
}

void BluezPeripheral::setNotifyValue(bool enabled, Characteristic& characteristic)
{
    if (link_ != Link::connected || !services_)
        return;
    BluezCharacteristic* known = nullptr;
    for (const auto& service : *services_) {
        if (!service->found())
            continue;
        for (const auto& candidate : *service->found()) {
            if (candidate.get() == &characteristic)
                known = candidate.get();
        }
    }
    if (!known)
        return;
    OrgBluezGattCharacteristic1Interface proxy(service, known->path(),
                                               QDBusConnection::systemBus());
    if (!enabled) {
        if (listening_ == known) {
            listening_ = nullptr;
            proxy.StopNotify();
        }
        return;
    }
    if (listening_)
        return;
    // Values are taken from here on: the clicker may send the moment the session is up, before
    // bluetoothd answers.
    listening_ = known;
    subscribing_ = true;
    proxy.setTimeout(static_cast<int>(setupTimeout_.count()) + 5000);
    whenAnswered(this, proxy.StartNotify(), [this, session = session_](const QDBusError& error) {
        if (session == session_ && link_ == Link::connected && subscribing_)
            subscriptionAnswered(errorOf(error));
    });
}

// bluetoothd answers StartNotify once the clicker confirmed the write of its configuration.
void BluezPeripheral::subscriptionAnswered(const OptionalError& error)
{
    BluezCharacteristic* characteristic = listening_;
    if (error) {
        post([this, characteristic, error](PeripheralDelegate& delegate) {
            delegate.peripheralDidUpdateNotificationStateForCharacteristic(*this, *characteristic,
                                                                           error);
        });
        // Without notifications the connection is of no use: it ends as a drop does.
        endLink(LinkEvent::disconnected, error);
        return;
    }
    subscribing_ = false;
    subscribed_ = true;
    retries_->failuresInARow = 0;
    linkTimer_.stop();
    post([this, characteristic](PeripheralDelegate& delegate) {
        delegate.peripheralDidUpdateNotificationStateForCharacteristic(*this, *characteristic,
                                                                       std::nullopt);
    });
}

// Every notification is a change of the value, an unchanged value included.
void BluezPeripheral::valueChanged(const QString& path, const QByteArray& value)
{
    if (link_ != Link::connected || !listening_ || listening_->path() != path)
        return;
    post([this, characteristic = listening_, value](PeripheralDelegate& delegate) {
        characteristic->setValue(value);
        delegate.peripheralDidUpdateValueForCharacteristic(*this, *characteristic, std::nullopt);
    });
}

} // namespace quenlark
