// SPDX-License-Identifier: MIT
#include "Platform/Qt/AdapterPowerWatcher.hpp"

#include "Platform/Linux/Bluez/BluezObjects.hpp"

#include <QBluetoothLocalDevice>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusServiceWatcher>

#include <functional>

namespace quenlark {

namespace {

using BluezObjects::adapterInterface;
using BluezObjects::service;

bool addsAdapter(const QDBusMessage& message)
{
    return message.arguments().size() >= 2 &&
           BluezObjects::decodeInterfaces(message.arguments().at(1).value<QDBusArgument>())
               .contains(adapterInterface);
}

bool removesAdapter(const QDBusMessage& message)
{
    return message.arguments().size() >= 2 &&
           message.arguments().at(1).toStringList().contains(adapterInterface);
}

// Calls back whenever an adapter appears or goes, and whenever bluetoothd itself starts or stops
// (adapters then vanish without InterfacesRemoved); and whenever an adapter's Discovering changes.
class BluezAdapterListener : public QObject {
    Q_OBJECT

public:
    BluezAdapterListener(std::function<void()> adaptersChanged,
                         std::function<void(bool)> discoveringChanged)
        : adaptersChanged_(std::move(adaptersChanged)),
          discoveringChanged_(std::move(discoveringChanged)),
          serviceWatcher_(service, QDBusConnection::systemBus(),
                          QDBusServiceWatcher::WatchForOwnerChange)
    {
        auto bus = QDBusConnection::systemBus();
        bus.connect(service, QStringLiteral("/"), BluezObjects::objectManagerInterface,
                    QStringLiteral("InterfacesAdded"), this, SLOT(interfacesAdded(QDBusMessage)));
        bus.connect(service, QStringLiteral("/"), BluezObjects::objectManagerInterface,
                    QStringLiteral("InterfacesRemoved"), this,
                    SLOT(interfacesRemoved(QDBusMessage)));
        // Every object of bluetoothd's: the adapter's path is not known ahead.
        bus.connect(service, QString(), BluezObjects::propertiesInterface,
                    QStringLiteral("PropertiesChanged"), this,
                    SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
        connect(&serviceWatcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
                [this] { adaptersChanged_(); });
    }

private Q_SLOTS:
    void interfacesAdded(const QDBusMessage& message)
    {
        if (addsAdapter(message))
            adaptersChanged_();
    }
    void interfacesRemoved(const QDBusMessage& message)
    {
        if (removesAdapter(message))
            adaptersChanged_();
    }
    void propertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList&)
    {
        const auto discovering = changed.constFind(QStringLiteral("Discovering"));
        if (interface == adapterInterface && discovering != changed.constEnd())
            discoveringChanged_(discovering->toBool());
    }

private:
    std::function<void()> adaptersChanged_;
    std::function<void(bool)> discoveringChanged_;
    QDBusServiceWatcher serviceWatcher_;
};

CentralState stateOf(QBluetoothLocalDevice::HostMode mode)
{
    return mode == QBluetoothLocalDevice::HostPoweredOff ? CentralState::poweredOff
                                                         : CentralState::poweredOn;
}

} // namespace

// QBluetoothLocalDevice binds to the adapter present when it is made: it never notices one added
// later and says nothing when its own goes. So it is made afresh whenever BlueZ's adapter list
// changes, and it is trusted only for power changes of the adapter it is bound to.
struct AdapterPowerWatcher::Backend {
    explicit Backend(AdapterPowerWatcher& owner)
        : owner(owner),
          listener([this] { bindDefaultAdapter(); },
                   [&owner](bool discovering) { Q_EMIT owner.discoveringChanged(discovering); })
    {}

    void bindDefaultAdapter()
    {
        device = std::make_unique<QBluetoothLocalDevice>();
        // Discoverable and connectable are both "on": a discoverability toggle maps to no change.
        QObject::connect(
            device.get(), &QBluetoothLocalDevice::hostModeStateChanged, &owner,
            [this](QBluetoothLocalDevice::HostMode mode) { owner.update(stateOf(mode)); });
        owner.update(device->isValid() ? stateOf(device->hostMode()) : CentralState::unsupported);
    }

    AdapterPowerWatcher& owner;
    BluezAdapterListener listener;
    std::unique_ptr<QBluetoothLocalDevice> device;
};

AdapterPowerWatcher::AdapterPowerWatcher(QObject* parent)
    : QObject(parent), backend_(std::make_unique<Backend>(*this))
{
    backend_->bindDefaultAdapter();
}

AdapterPowerWatcher::~AdapterPowerWatcher() = default;

// The adapter's Powered property is authoritative here: a failed discovery says nothing more.
void AdapterPowerWatcher::discoveryFailed(QBluetoothDeviceDiscoveryAgent::Error) {}

} // namespace quenlark

#include "AdapterPowerWatcher.moc"
