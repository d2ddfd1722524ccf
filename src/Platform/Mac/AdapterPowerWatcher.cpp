// SPDX-License-Identifier: MIT
#include "Platform/Qt/AdapterPowerWatcher.hpp"

#include <QTimer>

#include <optional>

namespace quenlark {

namespace {

// A probe that has said nothing this long after it started found the radio on: Qt reports the
// states CoreBluetooth gives as errors at once, and says nothing at all when the radio is on.
constexpr std::chrono::milliseconds settleTime{1000};
// Qt says nothing when the radio comes back, so a radio that is not on is asked again this often.
constexpr std::chrono::milliseconds probePause{3000};

// What a discovery error says of the radio; nothing when it says nothing of it, so that a passing
// failure does not hide what is known.
std::optional<CentralState> stateOf(QBluetoothDeviceDiscoveryAgent::Error error)
{
    switch (error) {
    case QBluetoothDeviceDiscoveryAgent::PoweredOffError:
        return CentralState::poweredOff;
    case QBluetoothDeviceDiscoveryAgent::InvalidBluetoothAdapterError:
    case QBluetoothDeviceDiscoveryAgent::UnsupportedPlatformError:
    case QBluetoothDeviceDiscoveryAgent::UnsupportedDiscoveryMethod:
    // Not raised by CoreBluetooth; Qt's BlueZ backend means by it that no adapter is there.
    case QBluetoothDeviceDiscoveryAgent::InputOutputError:
        return CentralState::unsupported;
    // No usage text in Info.plist, or the user denied this program Bluetooth.
    case QBluetoothDeviceDiscoveryAgent::MissingPermissionsError:
        return CentralState::unauthorized;
    case QBluetoothDeviceDiscoveryAgent::NoError:
    case QBluetoothDeviceDiscoveryAgent::LocationServiceTurnedOffError:
    case QBluetoothDeviceDiscoveryAgent::UnknownError:
        break;
    }
    return std::nullopt;
}

} // namespace

// macOS tells the radio's state only through Qt's CoreBluetooth discovery, as errors:
// QBluetoothLocalDevice gives no power notifications there. So a probe of our own is run at
// construction and, while the radio is not on, again every few seconds; the link's own scan
// errors come in through discoveryFailed. No discovery ends by itself, so discoveringChanged is
// never emitted.
struct AdapterPowerWatcher::Backend {
    explicit Backend(AdapterPowerWatcher& owner) : owner(owner)
    {
        settle.setSingleShot(true);
        settle.setInterval(settleTime);
        QObject::connect(&settle, &QTimer::timeout, &owner, [this] {
            probe.stop();
            this->owner.update(CentralState::poweredOn);
        });
        again.setSingleShot(true);
        again.setInterval(probePause);
        QObject::connect(&again, &QTimer::timeout, &owner, [this] { start(); });
        QObject::connect(&probe, &QBluetoothDeviceDiscoveryAgent::errorOccurred, &owner,
                         [this](QBluetoothDeviceDiscoveryAgent::Error error) {
                             this->owner.discoveryFailed(error);
                         });
    }

    void start()
    {
        if (probe.isActive())
            probe.stop();
        settle.start();
        // Fails from inside this call while the radio is off, absent or not allowed.
        probe.start(QBluetoothDeviceDiscoveryAgent::LowEnergyMethod);
    }

    AdapterPowerWatcher& owner;
    QBluetoothDeviceDiscoveryAgent probe;
    QTimer settle;
    QTimer again;
};

AdapterPowerWatcher::AdapterPowerWatcher(QObject* parent)
    : QObject(parent), backend_(std::make_unique<Backend>(*this))
{
    backend_->start();
}

AdapterPowerWatcher::~AdapterPowerWatcher() = default;

void AdapterPowerWatcher::discoveryFailed(QBluetoothDeviceDiscoveryAgent::Error error)
{
    backend_->settle.stop();
    if (const auto state = stateOf(error))
        update(*state);
    if (state_ != CentralState::poweredOn)
        backend_->again.start();
}

} // namespace quenlark
