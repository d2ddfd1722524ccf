// SPDX-License-Identifier: MIT
#include "Platform/Qt/ConnectedDevices.hpp"

#include "Platform/Linux/Bluez/BluezObjects.hpp"

#include <QBluetoothAddress>
#include <QDBusConnection>

#include <functional>

namespace quenlark {

namespace {

// Calls back whenever a device's services become resolved, which bluetoothd announces only once
// the device is connected.
class ResolvedListener : public QObject {
    Q_OBJECT

public:
    explicit ResolvedListener(std::function<void()> resolved) : resolved_(std::move(resolved))
    {
        QDBusConnection::systemBus().connect(
            BluezObjects::service, QString(), BluezObjects::propertiesInterface,
            QStringLiteral("PropertiesChanged"), this,
            SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
    }

private Q_SLOTS:
    void propertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList&)
    {
        if (interface == BluezObjects::deviceInterface &&
            changed.value(QStringLiteral("ServicesResolved")).toBool())
            resolved_();
    }

private:
    std::function<void()> resolved_;
};

QBluetoothDeviceInfo deviceInfo(const QVariantMap& device)
{
    QBluetoothDeviceInfo info(QBluetoothAddress(device.value(QStringLiteral("Address")).toString()),
                              device.value(QStringLiteral("Alias")).toString(), 0);
    info.setCoreConfigurations(QBluetoothDeviceInfo::LowEnergyCoreConfiguration);
    QList<QBluetoothUuid> services;
    for (const QUuid& uuid : BluezObjects::uuidsOf(device))
        services.append(QBluetoothUuid(uuid));
    info.setServiceUuids(services);
    return info;
}

} // namespace

struct ConnectedDevices::Backend {
    explicit Backend(ConnectedDevices& owner)
        : owner(owner), listener([this] {
              if (watching)
                  look();
          })
    {}

    void look()
    {
        BluezObjects::listDevices(&owner, [this, asked = generation](const auto& devices) {
            for (const BluezObjects::Device& device : devices) {
                // Paired: bluetoothd connects only those by itself. An unpaired one is this
                // program's own, which bluetoothd keeps connected for two seconds after it is let
                // go.
                if (asked == generation &&
                    device.properties.value(QStringLiteral("Paired")).toBool() &&
                    device.properties.value(QStringLiteral("Connected")).toBool() &&
                    device.properties.value(QStringLiteral("ServicesResolved")).toBool())
                    Q_EMIT owner.found(deviceInfo(device.properties));
            }
        });
    }

    ConnectedDevices& owner;
    ResolvedListener listener;
    bool watching = false;
    // Counts starts and stops, so that an answer to an earlier look is dropped.
    quint64 generation = 0;
};

ConnectedDevices::ConnectedDevices(QObject* parent)
    : QObject(parent), backend_(std::make_unique<Backend>(*this))
{}

ConnectedDevices::~ConnectedDevices() = default;

void ConnectedDevices::start()
{
    ++backend_->generation;
    backend_->watching = true;
    backend_->look();
}

void ConnectedDevices::stop()
{
    ++backend_->generation;
    backend_->watching = false;
}

} // namespace quenlark

#include "ConnectedDevices.moc"
