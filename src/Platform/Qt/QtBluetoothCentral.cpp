// SPDX-License-Identifier: MIT
#include "Platform/Qt/QtBluetoothCentral.hpp"

#include "Platform/Qt/AdapterPowerWatcher.hpp"
#include "Platform/Qt/BluetoothBackend.hpp"
#include "Platform/Qt/ConnectedDevices.hpp"
#include "Platform/Qt/QtPeripheral.hpp"

#include <QBluetoothDeviceDiscoveryAgent>
#include <QLoggingCategory>
#include <QPointer>
#include <QTimer>

#include <algorithm>

namespace quenlark {

namespace {

Q_LOGGING_CATEGORY(lcCentral, "quenlark.bluetooth.central")

// Long enough for bluetoothd's own restart of a discovery to show, short next to a presenter's
// patience.
constexpr std::chrono::milliseconds scanRestartPause{500};

// BlueZ does not filter discovery by service: the advertised UUIDs are checked here.
bool advertisesAny(const QBluetoothDeviceInfo& device, const QList<QUuid>& services)
{
    if (services.isEmpty())
        return true;
    const QList<QBluetoothUuid> advertised = device.serviceUuids();
    return std::any_of(services.begin(), services.end(), [&advertised](const QUuid& service) {
        return advertised.contains(QBluetoothUuid(service));
    });
}

} // namespace

QtBluetoothCentral::QtBluetoothCentral(CentralDelegate& delegate,
                                       std::chrono::milliseconds connectTimeout,
                                       std::chrono::milliseconds setupTimeout)
    : delegate_(delegate), connectTimeout_(connectTimeout), setupTimeout_(setupTimeout),
      context_(std::make_unique<QObject>())
{
    BluetoothBackend::prepare();

    restartTimer_ = new QTimer(context_.get());
    restartTimer_->setSingleShot(true);
    restartTimer_->setInterval(scanRestartPause);
    QObject::connect(restartTimer_, &QTimer::timeout, context_.get(), [this] {
        if (scanning_ && power_->state() == CentralState::poweredOn)
            startDiscovery();
    });

    power_ = new AdapterPowerWatcher(context_.get());
    QObject::connect(power_, &AdapterPowerWatcher::stateChanged, context_.get(),
                     [this](CentralState state) { powerChanged(state); });
    // Qt asks for discovery again when it ends, but not again when bluetoothd refuses that.
    QObject::connect(power_, &AdapterPowerWatcher::discoveringChanged, context_.get(),
                     [this](bool discovering) {
                         if (discovering)
                             restartTimer_->stop();
                         else
                             scanEnded();
                     });

    connected_ = new ConnectedDevices(context_.get());
    QObject::connect(connected_, &ConnectedDevices::found, context_.get(),
                     [this](const QBluetoothDeviceInfo& device) { report(device); });

    agent_ = new QBluetoothDeviceDiscoveryAgent(context_.get());
    // No timeout: the scan runs until it is stopped.
    agent_->setLowEnergyDiscoveryTimeout(0);
    QObject::connect(agent_, &QBluetoothDeviceDiscoveryAgent::deviceDiscovered, context_.get(),
                     [this](const QBluetoothDeviceInfo& device) { deviceDiscovered(device); });
    QObject::connect(agent_, &QBluetoothDeviceDiscoveryAgent::errorOccurred, context_.get(),
                     [this](QBluetoothDeviceDiscoveryAgent::Error error) {
                         qCWarning(lcCentral) << "Scan failed:" << agent_->errorString();
                         power_->discoveryFailed(error);
                         scanEnded();
                     });
    QObject::connect(agent_, &QBluetoothDeviceDiscoveryAgent::finished, context_.get(),
                     [this] { scanEnded(); });

    // Reported even though the state is already known, so that the delegate sees it only after
    // this constructor has returned.
    post([this, state = power_->state()] {
        state_ = state;
        delegate_.centralManagerDidUpdateState(*this);
    });
}

QtBluetoothCentral::~QtBluetoothCentral() = default;

template <typename Deliver> void QtBluetoothCentral::post(Deliver deliver)
{
    QMetaObject::invokeMethod(context_.get(), std::move(deliver), Qt::QueuedConnection);
}

void QtBluetoothCentral::powerChanged(CentralState state)
{
    // The radio is gone or off: the scan is over, and a new one is asked for once it is back.
    // bluetoothd says nothing of the connections that went with it, and its objects are gone.
    if (state != CentralState::poweredOn) {
        restartTimer_->stop();
        if (agent_->isActive())
            agent_->stop();
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

void QtBluetoothCentral::scanForPeripherals(const QList<QUuid>& services, bool allowDuplicates)
{
    ++scanGeneration_;
    scanning_ = true;
    scanServices_ = services;
    allowDuplicates_ = allowDuplicates;
    reportedThisScan_.clear();
    startDiscovery();
    connected_->start();
}

// A fresh start, so that devices BlueZ already knows are reported again once heard.
void QtBluetoothCentral::startDiscovery()
{
    restartTimer_->stop();
    if (agent_->isActive())
        agent_->stop();
    // Reports the devices BlueZ knows, or fails, from inside this call.
    agent_->start(QBluetoothDeviceDiscoveryAgent::LowEnergyMethod);
}

void QtBluetoothCentral::stopScan()
{
    ++scanGeneration_;
    scanning_ = false;
    restartTimer_->stop();
    connected_->stop();
    if (agent_->isActive())
        agent_->stop();
}

void QtBluetoothCentral::scanEnded()
{
    if (scanning_ && power_->state() == CentralState::poweredOn)
        restartTimer_->start();
}

// Without a timeout Qt reports a device again at every change of its signal strength. BlueZ
// lists every device it remembers, in range or not; one heard during the current discovery has a
// signal strength, which bluetoothd clears when a discovery ends.
void QtBluetoothCentral::deviceDiscovered(const QBluetoothDeviceInfo& device)
{
    if (device.rssi() != 0)
        report(device);
}

void QtBluetoothCentral::report(const QBluetoothDeviceInfo& device)
{
    const QUuid identifier = BluetoothBackend::identifier(device);
    if (!scanning_ || !advertisesAny(device, scanServices_) ||
        QtPeripheral::offersInput(device.serviceUuids()) || inputDevices_.contains(identifier))
        return;
    if (!allowDuplicates_ && reportedThisScan_.contains(identifier))
        return;
    reportedThisScan_.insert(identifier);
    post([this, peripheral = peripheralFor(device), generation = scanGeneration_] {
        if (generation == scanGeneration_)
            delegate_.centralManagerDidDiscoverPeripheral(*this, peripheral);
    });
}

std::shared_ptr<QtPeripheral> QtBluetoothCentral::peripheralFor(const QBluetoothDeviceInfo& device)
{
    const QUuid identifier = BluetoothBackend::identifier(device);
    if (auto known = peripherals_.value(identifier).lock()) {
        known->setDevice(device);
        return known;
    }
    peripherals_.removeIf([](const auto& entry) { return entry.value().expired(); });
    auto& retries = retries_[identifier];
    if (!retries)
        retries = std::make_shared<QtPeripheral::Retries>();
    auto made = std::make_shared<QtPeripheral>(device, retries);
    peripherals_.insert(identifier, made);
    return made;
}

void QtBluetoothCentral::connectPeripheral(Peripheral& peripheral)
{
    auto* ours = dynamic_cast<QtPeripheral*>(&peripheral);
    if (!ours) {
        qCWarning(lcCentral) << "Asked to connect a peripheral this central did not report";
        return;
    }
    // The observer runs inside Qt's signal handlers; the delegate hears of it through the queue.
    auto observer = [this, context = QPointer<QObject>(context_.get()),
                     weak = ours->weak_from_this()](QtPeripheral::LinkEvent event,
                                                    const OptionalError& error) {
        const auto reporting = weak.lock();
        if (!context || !reporting)
            return;
        if (event == QtPeripheral::LinkEvent::refusedAsInput) {
            inputDevices_.insert(reporting->identifier());
            BluetoothBackend::forget(context_.get(), reporting->device());
        }
        post([this, weak, event, error, session = reporting->session()] {
            const auto peripheral = weak.lock();
            if (!peripheral || peripheral->session() != session)
                return;
            switch (event) {
            case QtPeripheral::LinkEvent::connected:
                delegate_.centralManagerDidConnectPeripheral(*this, *peripheral);
                break;
            case QtPeripheral::LinkEvent::failedToConnect:
            case QtPeripheral::LinkEvent::refusedAsInput:
                delegate_.centralManagerDidFailToConnectPeripheral(*this, *peripheral, error);
                break;
            case QtPeripheral::LinkEvent::disconnected:
                delegate_.centralManagerDidDisconnectPeripheral(*this, *peripheral, error);
                break;
            }
        });
    };
    ours->connectToDevice(connectTimeout_, setupTimeout_, std::move(observer));
}

void QtBluetoothCentral::cancelPeripheralConnection(Peripheral& peripheral)
{
    if (auto* ours = dynamic_cast<QtPeripheral*>(&peripheral))
        ours->cancelConnection();
}

} // namespace quenlark
