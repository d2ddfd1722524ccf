// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Bluetooth.hpp"
#include "Platform/LinkRetries.hpp"
#include "Platform/Linux/Bluez/BluezService.hpp"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace quenlark {

class BluezObjectTree;

// One device among bluetoothd's objects, shared with the link, which may let go of it at any
// time. Every delegate callback is a queued call on this object, so none arrives from inside a
// call into it, and one that belongs to a connection that was cancelled or replaced before it
// could be delivered is dropped.
//
// It owns bluetoothd's notification session for the link it holds: the session is started once
// the link asks for it and ended with the link, so that bluetoothd never enables notifications by
// itself on the next connection, before anyone listens.
class BluezPeripheral : public QObject,
                        public Peripheral,
                        public std::enable_shared_from_this<BluezPeripheral> {
    Q_OBJECT

public:
    // refusedAsInput: the connection failed because the device offers HID.
    enum class LinkEvent { connected, failedToConnect, refusedAsInput, disconnected };
    // Told how the connection goes, synchronously from inside the bus's signal handlers.
    using LinkObserver = std::function<void(LinkEvent, const OptionalError&)>;

    BluezPeripheral(std::shared_ptr<BluezObjectTree> tree, QString path,
                    std::shared_ptr<LinkRetries> retries);
    ~BluezPeripheral() override;

    QUuid identifier() const override;
    std::optional<QString> name() const override;
    void setDelegate(PeripheralDelegate* delegate) override { delegate_ = delegate; }
    void discoverServices(const QList<QUuid>& uuids) override;
    std::optional<QList<Service*>> services() const override;
    void discoverCharacteristics(const QList<QUuid>& uuids, Service& service) override;
    void setNotifyValue(bool enabled, Characteristic& characteristic) override;

    const QString& path() const { return path_; }
    QString address() const;
    // Counts connection attempts and cancellations; a queued callback is delivered only while
    // the count it was made under still holds.
    quint64 session() const { return session_; }
    // An attempt that neither succeeds nor fails within `connectTimeout` is reported as failed; a
    // connection not subscribed within `setupTimeout` after it is made is ended and reported as
    // disconnected. The connection is reported once bluetoothd has resolved the device's services
    // and none of them is HID; otherwise the link is cut, the device removed from the stack with
    // its bond, and the attempt ends as `refusedAsInput`. After a failure the next attempt waits a
    // little, longer after each failure in a row. A link bluetoothd already has is taken as it is.
    void connectToDevice(std::chrono::milliseconds connectTimeout,
                         std::chrono::milliseconds setupTimeout, LinkObserver observer);
    // Ends the connection or the attempt, and reports `disconnected` if there was one.
    void cancelConnection();
    // The radio or bluetoothd went, and the connection or attempt with it: reported with `error`.
    void abandon(const PlatformError& error);

    // Cuts a link without crashing bluetoothd 5.66, which dies when a link is cut while it still
    // resolves the device's services: the cut waits until they are resolved or the link is lost,
    // within a bound. A new attempt at the device takes the link back instead.
    static void disconnectWhenSafe(BluezObjectTree& tree, const QString& path);

private:
    enum class Link { idle, waiting, connecting, connected };

    const QVariantMap* device() const;
    void beginAttempt();
    void timerExpired();
    void deviceChanged();
    void servicesResolved();
    void endLink(LinkEvent event, const OptionalError& error);
    void valueChanged(const QString& path, const QByteArray& value);
    void subscriptionAnswered(const OptionalError& error);
    BluezService* find(const Service& service) const;
    template <typename Deliver> void post(Deliver deliver);

    std::shared_ptr<BluezObjectTree> tree_;
    QString path_;
    std::shared_ptr<LinkRetries> retries_;
    PeripheralDelegate* delegate_ = nullptr;
    LinkObserver observer_;
    // Bounds the phase the link is in: the pause before an attempt, the attempt, the setup.
    QTimer linkTimer_;
    std::chrono::milliseconds connectTimeout_{0};
    std::chrono::milliseconds setupTimeout_{0};
    Link link_ = Link::idle;
    quint64 session_ = 0;
    // The characteristic whose values are passed on, from the moment its session was asked for.
    BluezCharacteristic* listening_ = nullptr;
    // The session was asked for and not confirmed yet.
    bool subscribing_ = false;
    bool subscribed_ = false;
    std::optional<std::vector<std::unique_ptr<BluezService>>> services_;
};

} // namespace quenlark
