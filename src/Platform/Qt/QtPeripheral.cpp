// SPDX-License-Identifier: MIT
#include "Platform/Qt/QtPeripheral.hpp"

#include "Platform/BorrowedList.hpp"
#include "Platform/Qt/BluetoothBackend.hpp"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSet>

#include <algorithm>
#include <utility>

namespace quenlark {

namespace {

Q_LOGGING_CATEGORY(lcPeripheral, "quenlark.bluetooth.peripheral")

const QByteArray enableNotification = QByteArray::fromHex("0100");
const QByteArray disableNotification = QByteArray::fromHex("0000");

// bluetoothd 5.66 crashes when a link is cut while it still resolves the device's services: its
// Connect has answered, and Qt says connected only once they are resolved. A controller let go of
// then is kept until they are resolved or the link is lost: a silent device's link ends at the
// radio's supervision timeout, a stalled request's at bluetoothd's own 30 s ATT timeout. A new
// attempt at that device waits for it, polling.
constexpr std::chrono::milliseconds resolvingBound{35000};
constexpr std::chrono::milliseconds resolvingPoll{250};

// The devices, by identifier, whose let-go controller still waits so.
QSet<QUuid>& resolving()
{
    static QSet<QUuid> devices;
    return devices;
}

// Qt gives a service error no text of its own; these follow its documentation.
QString describe(QLowEnergyService::ServiceError error)
{
    switch (error) {
    case QLowEnergyService::OperationError:
        return QStringLiteral("An operation was attempted while the service was not ready");
    case QLowEnergyService::CharacteristicReadError:
        return QStringLiteral("An attempt to read a characteristic value failed");
    case QLowEnergyService::CharacteristicWriteError:
        return QStringLiteral("An attempt to write a new value to a characteristic failed");
    case QLowEnergyService::DescriptorReadError:
        return QStringLiteral("An attempt to read a descriptor value failed");
    case QLowEnergyService::DescriptorWriteError:
        return QStringLiteral("An attempt to write a new value to a descriptor failed");
    case QLowEnergyService::NoError:
    case QLowEnergyService::UnknownError:
        break;
    }
    return QStringLiteral("An unknown error occurred while interacting with the service");
}

} // namespace

QtPeripheral::QtPeripheral(const QBluetoothDeviceInfo& device, std::shared_ptr<Retries> retries)
    : device_(device), retries_(std::move(retries))
{
    linkTimer_.setSingleShot(true);
    connect(&linkTimer_, &QTimer::timeout, this, &QtPeripheral::timerExpired);
}

QtPeripheral::~QtPeripheral()
{
    services_.reset();
    releaseController();
}

bool QtPeripheral::offersInput(const QList<QBluetoothUuid>& services)
{
    return services.contains(QBluetoothUuid::ServiceClassUuid::HumanInterfaceDevice) ||
           services.contains(QBluetoothUuid::ServiceClassUuid::HumanInterfaceDeviceService);
}

QUuid QtPeripheral::identifier() const
{
    return BluetoothBackend::identifier(device_);
}

std::optional<QString> QtPeripheral::name() const
{
    return BluetoothBackend::name(device_);
}

QString QtPeripheral::label() const
{
    return device_.address().isNull() ? device_.deviceUuid().toString(QUuid::WithoutBraces)
                                      : device_.address().toString();
}

template <typename Deliver> void QtPeripheral::post(Deliver deliver)
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

void QtPeripheral::connectToDevice(std::chrono::milliseconds connectTimeout,
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
    servicesPending_ = false;
    checkingServices_ = false;
    subscribing_ = nullptr;
    subscribed_ = false;
    linkError_.reset();
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

void QtPeripheral::beginAttempt()
{
    if (resolving().contains(identifier())) {
        link_ = Link::waiting;
        linkTimer_.start(resolvingPoll);
        return;
    }
    link_ = Link::connecting;
    // A controller per attempt: it binds to the adapter that is the default at this moment.
    controller_ = QLowEnergyController::createCentral(device_, this);
    connect(controller_, &QLowEnergyController::connected, this,
            &QtPeripheral::controllerConnected);
    connect(controller_, &QLowEnergyController::disconnected, this,
            &QtPeripheral::controllerDisconnected);
    connect(controller_, &QLowEnergyController::errorOccurred, this,
            &QtPeripheral::controllerFailed);
    connect(controller_, &QLowEnergyController::discoveryFinished, this,
            &QtPeripheral::servicesDiscovered);
    linkTimer_.start(connectTimeout_);
    // Fails at once, from inside this call, when BlueZ no longer lists the device.
    controller_->connectToDevice();
}

void QtPeripheral::timerExpired()
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

void QtPeripheral::abandon(const PlatformError& error)
{
    if (link_ == Link::idle)
        return;
    // Not the clicker's doing: no word of pairing.
    subscribing_ = nullptr;
    endLink(link_ == Link::connected ? LinkEvent::disconnected : LinkEvent::failedToConnect, error);
}

void QtPeripheral::cancelConnection()
{
    if (link_ == Link::idle)
        return;
    ++session_;
    endLink(LinkEvent::disconnected, std::nullopt);
}

// Qt says connected once bluetoothd has resolved the services, and its input profile may be asking
// to pair by then. So the services are checked before the link hears of the connection, and it
// remembers nothing of a device that turns out to be a keyboard.
void QtPeripheral::controllerConnected()
{
    if (link_ != Link::connecting)
        return;
    checkingServices_ = true;
    BluetoothBackend::knownServices(
        this, device_, [this, session = session_](const auto& services) {
            if (session == session_ && link_ == Link::connecting && checkingServices_)
                servicesChecked(services);
        });
}

void QtPeripheral::servicesChecked(const std::optional<QList<QBluetoothUuid>>& services)
{
    checkingServices_ = false;
    if (!services) {
        endLink(LinkEvent::failedToConnect,
                PlatformError{QStringLiteral("The device is no longer known to the system")});
        return;
    }
    if (offersInput(*services)) {
        qCWarning(lcPeripheral).noquote()
            << QStringLiteral("Refused %1 and had the system forget it: it offers the HID "
                              "service, as a keyboard does")
                   .arg(label());
        endLink(
            LinkEvent::refusedAsInput,
            PlatformError{QStringLiteral("The device offers the HID service, as a keyboard does")});
        return;
    }
    link_ = Link::connected;
    linkTimer_.start(setupTimeout_);
    observer_(LinkEvent::connected, std::nullopt);
}

void QtPeripheral::controllerDisconnected()
{
    if (link_ != Link::connected && link_ != Link::connecting)
        return;
    // A remote drop comes without an error of Qt's own.
    endLink(
        link_ == Link::connected ? LinkEvent::disconnected : LinkEvent::failedToConnect,
        linkError_.value_or(PlatformError{QStringLiteral("Remote device closed the connection")}));
}

void QtPeripheral::controllerFailed()
{
    const PlatformError error{controller_->errorString()};
    if (link_ == Link::connecting) {
        endLink(LinkEvent::failedToConnect, error);
        return;
    }
    // While connected, an error either fails a discovery or announces the disconnect it caused.
    linkError_ = error;
    failPendingDiscoveries(error);
}

// A connection that ends before it was subscribed failed, unless it was cancelled (no error).
void QtPeripheral::endLink(LinkEvent event, const OptionalError& error)
{
    linkTimer_.stop();
    releaseController();
    link_ = Link::idle;
    checkingServices_ = false;
    if (!subscribed_ && error) {
        retries_->failed(subscribing_ != nullptr);
        // bluetoothd pairs on its own when the clicker asks for encryption; without a yes from
        // the desktop's agent the subscription is never confirmed.
        if (subscribing_)
            qCWarning(lcPeripheral).noquote()
                << QStringLiteral("Subscription to %1 not confirmed (%2): if the clicker needs an "
                                  "encrypted link, its pairing was refused or not answered")
                       .arg(label(), error->localizedDescription);
    }
    subscribing_ = nullptr;
    // The services stay until the next attempt, so callbacks already queued still find them.
    observer_(event, error);
}

void QtPeripheral::releaseController()
{
    if (!controller_)
        return;
    controller_->disconnect(this);
    QLowEnergyController* controller = std::exchange(controller_, nullptr);
    // Possibly inside one of its signals. Its destructor tells bluetoothd to disconnect.
    if (controller->state() != QLowEnergyController::ConnectingState) {
        controller->deleteLater();
        return;
    }
    const QUuid key = identifier();
    resolving().insert(key);
    // It outlives this peripheral, which the link may let go of at once.
    controller->setParent(QCoreApplication::instance());
    connect(controller, &QObject::destroyed, QCoreApplication::instance(),
            [key] { resolving().remove(key); });
    connect(controller, &QLowEnergyController::stateChanged, controller,
            [controller](QLowEnergyController::ControllerState state) {
                if (state != QLowEnergyController::ConnectingState)
                    controller->deleteLater();
            });
    QTimer::singleShot(resolvingBound, controller, &QObject::deleteLater);
    // An attempt whose link is not up yet is only cancelled: cut at once.
    BluetoothBackend::resolvingServices(controller, device_, [controller](bool resolving) {
        if (!resolving)
            controller->deleteLater();
    });
}

void QtPeripheral::discoverServices(const QList<QUuid>& uuids)
{
    if (link_ != Link::connected) {
        qCDebug(lcPeripheral) << "Service discovery asked for while not connected";
        return;
    }
    serviceFilter_ = uuids;
    switch (controller_->state()) {
    case QLowEnergyController::ConnectedState:
        servicesPending_ = true;
        // On BlueZ this finishes from inside the call.
        controller_->discoverServices();
        break;
    case QLowEnergyController::DiscoveringState:
        servicesPending_ = true;
        break;
    case QLowEnergyController::DiscoveredState:
        adoptServices();
        reportServices(std::nullopt);
        break;
    default:
        break;
    }
}

void QtPeripheral::servicesDiscovered()
{
    adoptServices();
    if (!servicesPending_)
        return;
    servicesPending_ = false;
    reportServices(std::nullopt);
}

void QtPeripheral::adoptServices()
{
    if (!services_)
        services_.emplace();
    for (const QUuid uuid : controller_->services()) {
        if (!serviceFilter_.isEmpty() && !serviceFilter_.contains(uuid))
            continue;
        if (std::any_of(services_->begin(), services_->end(),
                        [&uuid](const auto& known) { return known->uuid() == uuid; }))
            continue;
        std::unique_ptr<QLowEnergyService> service(controller_->createServiceObject(uuid));
        if (!service)
            continue;
        QtService& added =
            *services_->emplace_back(std::make_unique<QtService>(uuid, std::move(service)));
        QLowEnergyService* qtService = &added.lowEnergyService();
        connect(qtService, &QLowEnergyService::stateChanged, this,
                [this, &added](QLowEnergyService::ServiceState state) {
                    if (state == QLowEnergyService::RemoteServiceDiscovered)
                        detailsDiscovered(added);
                });
        connect(
            qtService, &QLowEnergyService::errorOccurred, this,
            [this, &added](QLowEnergyService::ServiceError error) { serviceFailed(added, error); });
        connect(qtService, &QLowEnergyService::descriptorWritten, this,
                &QtPeripheral::subscriptionWritten);
        connect(qtService, &QLowEnergyService::characteristicChanged, this,
                [this, &added](const QLowEnergyCharacteristic& characteristic,
                               const QByteArray& value) {
                    valueChanged(added, characteristic, value);
                });
    }
}

std::optional<QList<Service*>> QtPeripheral::services() const
{
    return borrowedList<Service>(services_);
}

QtService* QtPeripheral::find(const Service& service) const
{
    if (!services_)
        return nullptr;
    const auto it =
        std::find_if(services_->begin(), services_->end(),
                     [&service](const auto& candidate) { return candidate.get() == &service; });
    return it == services_->end() ? nullptr : it->get();
}

void QtPeripheral::discoverCharacteristics(const QList<QUuid>& uuids, Service& service)
{
    QtService* known = find(service);
    if (!known || link_ != Link::connected) {
        qCDebug(lcPeripheral) << "Characteristic discovery asked for while not connected";
        return;
    }
    known->characteristicFilter = uuids;
    QLowEnergyService& qtService = known->lowEnergyService();
    switch (qtService.state()) {
    case QLowEnergyService::RemoteService:
        known->detailsPending = true;
        // Values are not read: a read the device never answers would stall the discovery.
        qtService.discoverDetails(QLowEnergyService::SkipValueDiscovery);
        break;
    case QLowEnergyService::RemoteServiceDiscovering:
        known->detailsPending = true;
        break;
    case QLowEnergyService::RemoteServiceDiscovered:
        known->adoptCharacteristics(uuids);
        reportCharacteristics(*known, std::nullopt);
        break;
    default:
        reportCharacteristics(*known, PlatformError{describe(QLowEnergyService::OperationError)});
        break;
    }
}

void QtPeripheral::detailsDiscovered(QtService& service)
{
    service.adoptCharacteristics(service.characteristicFilter);
    if (!service.detailsPending)
        return;
    service.detailsPending = false;
    reportCharacteristics(service, std::nullopt);
}

void QtPeripheral::serviceFailed(QtService& service, QLowEnergyService::ServiceError error)
{
    // The only descriptor written is the client configuration: without notifications the
    // connection is of no use, so it ends as a drop does and the link starts over.
    if (error == QLowEnergyService::DescriptorWriteError && link_ == Link::connected &&
        !subscribed_) {
        const PlatformError failure{describe(error)};
        if (QtCharacteristic* characteristic = subscribing_)
            reportSubscription(*characteristic, failure);
        endLink(LinkEvent::disconnected, failure);
        return;
    }
    if (!service.detailsPending) {
        qCWarning(lcPeripheral) << "Service" << service.uuid() << "reported" << error;
        return;
    }
    service.detailsPending = false;
    reportCharacteristics(service, PlatformError{describe(error)});
}

void QtPeripheral::failPendingDiscoveries(const PlatformError& error)
{
    if (servicesPending_) {
        servicesPending_ = false;
        reportServices(error);
    }
    if (!services_)
        return;
    for (const auto& service : *services_) {
        if (!service->detailsPending)
            continue;
        service->detailsPending = false;
        reportCharacteristics(*service, error);
    }
}

void QtPeripheral::setNotifyValue(bool enabled, Characteristic& characteristic)
{
    if (link_ != Link::connected || !services_)
        return;
    for (const auto& service : *services_) {
        QtCharacteristic* known = service->find(characteristic);
        if (!known)
            continue;
        const QLowEnergyDescriptor configuration =
            known->lowEnergyCharacteristic().clientCharacteristicConfiguration();
        if (!configuration.isValid()) {
            qCWarning(lcPeripheral)
                << "Characteristic" << known->uuid() << "has no client configuration descriptor";
            return;
        }
        if (enabled && !subscribed_)
            subscribing_ = known;
        // BlueZ's D-Bus backend turns this write into StartNotify / StopNotify, which bluetoothd
        // answers once the clicker confirmed the write.
        service->lowEnergyService().writeDescriptor(configuration, enabled ? enableNotification
                                                                           : disableNotification);
        return;
    }
}

void QtPeripheral::subscriptionWritten(const QLowEnergyDescriptor& descriptor,
                                       const QByteArray& value)
{
    if (link_ != Link::connected ||
        descriptor.type() != QBluetoothUuid::DescriptorType::ClientCharacteristicConfiguration ||
        value != enableNotification)
        return;
    subscribed_ = true;
    retries_->failuresInARow = 0;
    linkTimer_.stop();
    if (QtCharacteristic* characteristic = std::exchange(subscribing_, nullptr))
        reportSubscription(*characteristic, std::nullopt);
}

// Every change of the value is a notification, an unchanged value included.
void QtPeripheral::valueChanged(QtService& service, const QLowEnergyCharacteristic& characteristic,
                                const QByteArray& value)
{
    QtCharacteristic* known = service.find(characteristic);
    if (!known)
        return;
    post([this, known, value](PeripheralDelegate& delegate) {
        known->setValue(value);
        delegate.peripheralDidUpdateValueForCharacteristic(*this, *known, std::nullopt);
    });
}

void QtPeripheral::reportServices(const OptionalError& error)
{
    post([this, error](PeripheralDelegate& delegate) {
        delegate.peripheralDidDiscoverServices(*this, error);
    });
}

void QtPeripheral::reportSubscription(QtCharacteristic& characteristic, const OptionalError& error)
{
    post([this, &characteristic, error](PeripheralDelegate& delegate) {
        delegate.peripheralDidUpdateNotificationStateForCharacteristic(*this, characteristic,
                                                                       error);
    });
}

void QtPeripheral::reportCharacteristics(QtService& service, const OptionalError& error)
{
    post([this, &service, error](PeripheralDelegate& delegate) {
        delegate.peripheralDidDiscoverCharacteristicsForService(*this, service, error);
    });
}

} // namespace quenlark
