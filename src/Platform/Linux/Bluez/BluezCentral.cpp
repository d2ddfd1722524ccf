// SPDX-License-Identifier: MIT
#include "Platform/Linux/Bluez/BluezCentral.hpp"

#include "BluezAdapterProxy.h"
#include "BluezDeviceProxy.h"
#include "Platform/Linux/Bluez/BluezObjectTree.hpp"
#include "Platform/Linux/Bluez/BluezPeripheral.hpp"

#include <QDBusConnection>
#include <QDBusError>
#include <QLoggingCategory>
#include <QPointer>
#include <QTimer>

#include <algorithm>

namespace quenlark {

using namespace BluezObjects;

namespace {

Q_LOGGING_CATEGORY(lcCentral, "quenlark.bluetooth.central")

// After a discovery or a pending Connect that ended at once, the next try waits this long: long
// enough for bluetoothd's own restart of a discovery to show, short next to a presenter's patience.
constexpr std::chrono::milliseconds retryPause{500};
// A pending Connect lasts until the kernel's bound on an LE connection; the bus call waits longer.
constexpr int pendingConnectTimeout = 120000;

bool advertisesAny(const QVariantMap& device, const QList<QUuid>& services)
{
    if (services.isEmpty())
        return true;
    const QList<QUuid> advertised = uuidsOf(device);
    return std::any_of(services.begin(), services.end(),
                       [&advertised](const QUuid& wanted) { return advertised.contains(wanted); });
}

bool flag(const QVariantMap& properties, const char* name)
{
    return properties.value(QLatin1String(name)).toBool();
}

} // namespace

BluezCentral::BluezCentral(CentralDelegate& delegate, std::chrono::milliseconds connectTimeout,
                           std::chrono::milliseconds setupTimeout,
                           std::chrono::milliseconds inputDeviceIgnored)
    : delegate_(delegate), connectTimeout_(connectTimeout), setupTimeout_(setupTimeout),
      inputDeviceIgnored_(inputDeviceIgnored), context_(std::make_unique<QObject>()),
      tree_(std::make_shared<BluezObjectTree>()),
      retries_(tableBound, [](const auto& retries) { return retries->failuresInARow == 0; }),
      inputDevices_(tableBound)
{
    retryTimer_ = new QTimer(context_.get());
    retryTimer_->setSingleShot(true);
    retryTimer_->setInterval(retryPause);
    QObject::connect(retryTimer_, &QTimer::timeout, context_.get(), [this] { updateScan(); });

    QObject* context = context_.get();
    QObject::connect(tree_.get(), &BluezObjectTree::reloaded, context, [this] {
        updateState();
        updateScan();
        considerAll();
    });
    QObject::connect(tree_.get(), &BluezObjectTree::interfacesAdded, context,
                     [this](const QString& path, const QStringList& interfaces) {
                         if (interfaces.contains(adapterInterface))
                             updateState();
                         if (interfaces.contains(deviceInterface))
                             consider(path);
                         if (interfaces.contains(characteristicInterface))
                             updateFollowing();
                     });
    QObject::connect(tree_.get(), &BluezObjectTree::interfacesRemoved, context,
                     [this](const QString& path, const QStringList& interfaces) {
                         if (interfaces.contains(adapterInterface))
                             updateState();
                         if (!interfaces.contains(deviceInterface))
                             return;
                         retries_.remove(path);
                         letGo_.remove(path);
                         if (path == waitingFor_) {
                             stopWaiting();
                             updateScan();
                         }
                     });
    QObject::connect(
        tree_.get(), &BluezObjectTree::propertiesChanged, context,
        [this](const QString& path, const QString& interface, const QVariantMap& changed) {
            if (interface == adapterInterface) {
                if (changed.contains(QStringLiteral("Powered")))
                    updateState();
                // Discovery that ends underneath this program is asked for again; bluetoothd
                // still lists it as a client, and would refuse a new start as busy until it stops.
                if (changed.contains(QStringLiteral("Discovering")) &&
                    !flag(changed, "Discovering") && path == discoveringOn_) {
                    stopDiscovery();
                    retryTimer_->start();
                }
            } else if (interface == deviceInterface) {
                consider(path);
            }
        });
}

BluezCentral::~BluezCentral()
{
    stopWaiting();
    stopDiscovery();
}

template <typename Deliver> void BluezCentral::post(Deliver deliver)
{
    QMetaObject::invokeMethod(context_.get(), std::move(deliver), Qt::QueuedConnection);
}

// bluetoothd's default adapter is the first it lists.
QString BluezCentral::adapterPath() const
{
    const QStringList adapters = tree_->pathsWith(adapterInterface);
    return adapters.isEmpty() ? QString() : adapters.constFirst();
}

QString BluezCentral::devicePath(const QUuid& identifier) const
{
    for (const QString& path : tree_->pathsWith(deviceInterface, adapterPath())) {
        const QVariantMap* device = tree_->properties(path, deviceInterface);
        if (identifierOf(device->value(QStringLiteral("Address")).toString()) == identifier)
            return path;
    }
    return {};
}

void BluezCentral::updateState()
{
    const QVariantMap* properties = tree_->properties(adapterPath(), adapterInterface);
    const CentralState state = !properties                    ? CentralState::unsupported
                               : flag(*properties, "Powered") ? CentralState::poweredOn
                                                              : CentralState::poweredOff;
    if (state == power_)
        return;
    power_ = state;
    // The radio or bluetoothd went: the scan is over, and a new one is asked for once it is back.
    // bluetoothd says nothing of the connections that went with it.
    if (state != CentralState::poweredOn) {
        retryTimer_->stop();
        discoveringOn_.clear();
        waitingFor_.clear();
        waitPending_ = false;
        letGo_.clear();
        for (const auto& entry : std::as_const(peripherals_)) {
            if (const auto peripheral = entry.lock())
                peripheral->abandon(PlatformError{QStringLiteral("Bluetooth is off or gone")});
        }
    }
    post([this, state] {
        state_ = state;
        delegate_.centralManagerDidUpdateState(*this);
    });
}

void BluezCentral::setRememberedPeripheral(const std::optional<QUuid>& identifier)
{
    remembered_ = identifier;
    updateScan();
}

void BluezCentral::scanForPeripherals(const QList<QUuid>& services, bool allowDuplicates)
{
    ++scanGeneration_;
    scanning_ = true;
    scanServices_ = services;
    allowDuplicates_ = allowDuplicates;
    reportedThisScan_.clear();
    updateScan();
    considerAll();
}

void BluezCentral::stopScan()
{
    ++scanGeneration_;
    scanning_ = false;
    retryTimer_->stop();
    stopDiscovery();
    stopWaiting();
    updateFollowing();
}

// Waiting for the remembered device, where bluetoothd lists it; otherwise discovery.
void BluezCentral::updateScan()
{
    if (!scanning_ || !poweredOn())
        return;
    const QString remembered = remembered_ ? devicePath(*remembered_) : QString();
    if (!remembered.isEmpty() && !inputDevices_.find(remembered)) {
        stopDiscovery();
        waitFor(remembered);
        updateFollowing();
        return;
    }
    stopWaiting();
    startDiscovery();
    updateFollowing();
}

void BluezCentral::startDiscovery()
{
    const QString adapter = adapterPath();
    if (adapter.isEmpty() || discoveringOn_ == adapter || retryTimer_->isActive())
        return;
    discoveringOn_ = adapter;
    OrgBluezAdapter1Interface proxy(service, adapter, QDBusConnection::systemBus());
    QStringList uuids;
    for (const QUuid& uuid : std::as_const(scanServices_))
        uuids.append(uuid.toString(QUuid::WithoutBraces));
    // bluetoothd then tells only of devices that advertise the clicker's service, and of a
    // device's signal strength only when it changes much.
    proxy.SetDiscoveryFilter({{QStringLiteral("Transport"), QStringLiteral("le")},
                              {QStringLiteral("UUIDs"), uuids},
                              {QStringLiteral("DuplicateData"), false}});
    whenAnswered(context_.get(), proxy.StartDiscovery(), [this, adapter](const QDBusError& error) {
        // Already discovering for this program counts as started.
        if (!error.isValid() || error.name() == QStringLiteral("org.bluez.Error.InProgress") ||
            discoveringOn_ != adapter)
            return;
        qCWarning(lcCentral).noquote() << QStringLiteral("Scan failed: ") + error.message();
        discoveringOn_.clear();
        retryTimer_->start();
    });
}

void BluezCentral::stopDiscovery()
{
    if (discoveringOn_.isEmpty())
        return;
    OrgBluezAdapter1Interface(service, discoveringOn_, QDBusConnection::systemBus())
        .StopDiscovery();
    discoveringOn_.clear();
}

void BluezCentral::waitFor(const QString& path)
{
    if (waitingFor_ != path)
        stopWaiting();
    waitingFor_ = path;
    const QVariantMap* device = tree_->properties(path, deviceInterface);
    if (waitPending_ || retryTimer_->isActive() || !device || linkUp(*device))
        return;
    waitPending_ = true;
    OrgBluezDevice1Interface proxy(service, path, QDBusConnection::systemBus());
    proxy.setTimeout(pendingConnectTimeout);
    const auto started = std::chrono::steady_clock::now();
    whenAnswered(context_.get(), proxy.Connect(), [this, path, started](const QDBusError& error) {
        if (path != waitingFor_)
            return;
        waitPending_ = false;
        if (!error.isValid())
            return;
        // The kernel's bound ran out with the device away: ask again at once. Anything that ends
        // sooner is asked again after a pause, so that a refusal is not hammered.
        if (error.message() == connectionAbortedLocally &&
            std::chrono::steady_clock::now() - started > retryPause)
            waitFor(path);
        else
            retryTimer_->start();
    });
}

// A Connect still pending is cancelled; a link it made stays, as the link is about to take it.
void BluezCentral::stopWaiting()
{
    if (waitingFor_.isEmpty())
        return;
    const QVariantMap* device = tree_->properties(waitingFor_, deviceInterface);
    if (waitPending_ && device && !linkUp(*device))
        BluezPeripheral::disconnectWhenSafe(*tree_, waitingFor_);
    waitingFor_.clear();
    waitPending_ = false;
}

// Every device is followed while this program discovers; otherwise only the adapters, the device
// waited for and the devices the link holds, with their characteristics.
void BluezCentral::updateFollowing()
{
    if (!discoveringOn_.isEmpty()) {
        tree_->follow(std::nullopt);
        return;
    }
    const QStringList adapters = tree_->pathsWith(adapterInterface);
    QSet<QString> paths(adapters.begin(), adapters.end());
    QStringList devices = peripherals_.keys();
    if (!waitingFor_.isEmpty())
        devices.append(waitingFor_);
    for (const QString& device : std::as_const(devices)) {
        paths.insert(device);
        for (const QString& characteristic : tree_->pathsWith(characteristicInterface, device))
            paths.insert(characteristic);
    }
    tree_->follow(paths);
}

void BluezCentral::considerAll()
{
    for (const QString& path : tree_->pathsWith(deviceInterface, adapterPath()))
        consider(path);
}

// Reported: a device on the adapter in use that advertises a service asked for, offers no HID,
// and is either heard during this program's discovery (bluetoothd clears the signal strength when
// a discovery ends) or connected with its services resolved.
void BluezCentral::consider(const QString& path)
{
    const QVariantMap* device = tree_->properties(path, deviceInterface);
    if (device && !linkUp(*device))
        letGo_.remove(path);
    if (!scanning_ || !poweredOn() || !device || !path.startsWith(adapterPath() + u'/'))
        return;
    const bool heard = !discoveringOn_.isEmpty() && device->contains(QStringLiteral("RSSI"));
    const bool linked = flag(*device, "ServicesResolved") && !letGo_.contains(path);
    if (!(heard || linked) || !advertisesAny(*device, scanServices_) ||
        offersInput(device->value(QStringLiteral("UUIDs")).toStringList()) ||
        inputDevices_.find(path))
        return;
    if (!allowDuplicates_ && reportedThisScan_.contains(path))
        return;
    reportedThisScan_.insert(path);
    post([this, peripheral = peripheralFor(path), generation = scanGeneration_] {
        if (generation == scanGeneration_)
            delegate_.centralManagerDidDiscoverPeripheral(*this, peripheral);
    });
}

std::shared_ptr<BluezPeripheral> BluezCentral::peripheralFor(const QString& path)
{
    if (auto known = peripherals_.value(path).lock())
        return known;
    peripherals_.removeIf([](const auto& entry) { return entry.value().expired(); });
    const auto* known = retries_.find(path);
    const auto retries = known ? *known : std::make_shared<LinkRetries>();
    if (!known)
        retries_.insert(path, retries);
    auto made = std::make_shared<BluezPeripheral>(tree_, path, retries);
    peripherals_.insert(path, made);
    updateFollowing();
    return made;
}

void BluezCentral::connectPeripheral(Peripheral& peripheral)
{
    auto* ours = dynamic_cast<BluezPeripheral*>(&peripheral);
    if (!ours) {
        qCWarning(lcCentral) << "Asked to connect a peripheral this central did not report";
        return;
    }
    // The observer runs inside the bus's signal handlers; the delegate hears of it through the
    // queue.
    auto observer = [this, context = QPointer<QObject>(context_.get()),
                     weak = ours->weak_from_this()](BluezPeripheral::LinkEvent event,
                                                    const OptionalError& error) {
        const auto reporting = weak.lock();
        if (!context || !reporting)
            return;
        const QVariantMap* device = tree_->properties(reporting->path(), deviceInterface);
        if (event != BluezPeripheral::LinkEvent::connected && device && linkUp(*device))
            letGo_.insert(reporting->path());
        if (event == BluezPeripheral::LinkEvent::refusedAsInput)
            refusedAsInput(reporting->path());
        post([this, weak, event, error, session = reporting->session()] {
            const auto peripheral = weak.lock();
            if (!peripheral || peripheral->session() != session)
                return;
            switch (event) {
            case BluezPeripheral::LinkEvent::connected:
                delegate_.centralManagerDidConnectPeripheral(*this, *peripheral);
                break;
            case BluezPeripheral::LinkEvent::failedToConnect:
            case BluezPeripheral::LinkEvent::refusedAsInput:
                delegate_.centralManagerDidFailToConnectPeripheral(*this, *peripheral, error);
                break;
            case BluezPeripheral::LinkEvent::disconnected:
                delegate_.centralManagerDidDisconnectPeripheral(*this, *peripheral, error);
                break;
            }
        });
    };
    ours->connectToDevice(connectTimeout_, setupTimeout_, std::move(observer));
}

// The address is taken up again once the while is over, even where bluetoothd says nothing new of
// the device by then.
void BluezCentral::refusedAsInput(const QString& path)
{
    const auto refused = std::chrono::steady_clock::now();
    inputDevices_.insert(path, refused);
    QTimer::singleShot(inputDeviceIgnored_, Qt::PreciseTimer, context_.get(),
                       [this, path, refused] {
                           const auto* latest = inputDevices_.find(path);
                           if (!latest || *latest != refused)
                               return;
                           inputDevices_.remove(path);
                           updateScan();
                           consider(path);
                       });
}

void BluezCentral::cancelPeripheralConnection(Peripheral& peripheral)
{
    if (auto* ours = dynamic_cast<BluezPeripheral*>(&peripheral))
        ours->cancelConnection();
}

} // namespace quenlark
