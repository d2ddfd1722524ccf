// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Bluetooth.hpp"
#include "Platform/LinkRetries.hpp"
#include "Platform/Qt/QtService.hpp"

#include <QBluetoothDeviceInfo>
#include <QLowEnergyController>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace quenlark {

// One remote device, shared with the link, which may let go of it at any time. While a connection
// is wanted it owns a Low Energy controller on BlueZ's D-Bus backend. Every delegate callback is a
// queued call on this object, so none arrives from inside a call into it, and one that belongs to
// a connection that was cancelled or replaced before it could be delivered is dropped.
class QtPeripheral : public QObject,
                     public Peripheral,
                     public std::enable_shared_from_this<QtPeripheral> {
    Q_OBJECT

public:
    // refusedAsInput: the connection failed because the device offers HID (see offersInput).
    enum class LinkEvent { connected, failedToConnect, refusedAsInput, disconnected };
    // Told how the connection goes, synchronously from inside Qt's signal handlers.
    using LinkObserver = std::function<void(LinkEvent, const OptionalError&)>;

    using Retries = LinkRetries;

    QtPeripheral(const QBluetoothDeviceInfo& device, std::shared_ptr<Retries> retries);
    ~QtPeripheral() override;

    // Whether these services make a device a keyboard or mouse to the system: the input profile
    // bonds such a device as soon as its services are known.
    static bool offersInput(const QList<QBluetoothUuid>& services);

    QUuid identifier() const override;
    std::optional<QString> name() const override;
    void setDelegate(PeripheralDelegate* delegate) override { delegate_ = delegate; }
    void discoverServices(const QList<QUuid>& uuids) override;
    std::optional<QList<Service*>> services() const override;
    void discoverCharacteristics(const QList<QUuid>& uuids, Service& service) override;
    void setNotifyValue(bool enabled, Characteristic& characteristic) override;

    const QBluetoothDeviceInfo& device() const { return device_; }
    // How logs name the device: its address where Qt gives one, the platform's UUID on macOS.
    QString label() const;
    // A newer report of the same device, with its latest name.
    void setDevice(const QBluetoothDeviceInfo& device) { device_ = device; }
    // Counts connection attempts and cancellations; a queued callback is delivered only while
    // the count it was made under still holds.
    quint64 session() const { return session_; }
    // An attempt that neither succeeds nor fails within `connectTimeout` is reported as failed;
    // a connection not subscribed to notifications within `setupTimeout` after it is made is
    // ended and reported as disconnected. The connection is reported only once the device's
    // services are known and none of them is HID; otherwise it is ended as `refusedAsInput`. After
    // a failure the next attempt waits a little, longer after each failure in a row.
    void connectToDevice(std::chrono::milliseconds connectTimeout,
                         std::chrono::milliseconds setupTimeout, LinkObserver observer);
    // Ends the connection or the attempt, and reports `disconnected` if there was one.
    void cancelConnection();
    // The radio or bluetoothd went, and the connection or attempt with it: reported with `error`.
    void abandon(const PlatformError& error);

private:
    enum class Link { idle, waiting, connecting, connected };

    void beginAttempt();
    void timerExpired();
    void subscriptionWritten(const QLowEnergyDescriptor& descriptor, const QByteArray& value);

    void controllerConnected();
    void servicesChecked(const std::optional<QList<QBluetoothUuid>>& services);
    void controllerDisconnected();
    void controllerFailed();
    void endLink(LinkEvent event, const OptionalError& error);
    void releaseController();

    void servicesDiscovered();
    void adoptServices();
    QtService* find(const Service& service) const;
    void detailsDiscovered(QtService& service);
    void serviceFailed(QtService& service, QLowEnergyService::ServiceError error);
    void valueChanged(QtService& service, const QLowEnergyCharacteristic& characteristic,
                      const QByteArray& value);
    void failPendingDiscoveries(const PlatformError& error);
    void reportServices(const OptionalError& error);
    void reportCharacteristics(QtService& service, const OptionalError& error);
    void reportSubscription(QtCharacteristic& characteristic, const OptionalError& error);
    template <typename Deliver> void post(Deliver deliver);

    QBluetoothDeviceInfo device_;
    PeripheralDelegate* delegate_ = nullptr;
    LinkObserver observer_;
    QLowEnergyController* controller_ = nullptr;
    // Bounds the phase the link is in: the pause before an attempt, the attempt, the setup.
    QTimer linkTimer_;
    std::chrono::milliseconds connectTimeout_{0};
    std::chrono::milliseconds setupTimeout_{0};
    Link link_ = Link::idle;
    // Connected, and the stack asked for the device's services, before the link hears of it.
    bool checkingServices_ = false;
    // The characteristic whose subscription was asked for and not confirmed yet.
    QtCharacteristic* subscribing_ = nullptr;
    bool subscribed_ = false;
    std::shared_ptr<Retries> retries_;
    quint64 session_ = 0;
    // The error that ends a connection arrives before the disconnect itself.
    OptionalError linkError_;
    QList<QUuid> serviceFilter_;
    bool servicesPending_ = false;
    std::optional<std::vector<std::unique_ptr<QtService>>> services_;
};

} // namespace quenlark
