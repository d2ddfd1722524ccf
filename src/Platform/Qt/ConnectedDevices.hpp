// SPDX-License-Identifier: MIT
#pragma once

#include <QBluetoothDeviceInfo>
#include <QObject>

#include <memory>

namespace quenlark {

// Devices the system is already connected to, which a scan does not hear: a clicker paired in the
// desktop's settings is connected by the stack itself as soon as it advertises, and then it stops
// advertising.
class ConnectedDevices : public QObject {
    Q_OBJECT

public:
    explicit ConnectedDevices(QObject* parent = nullptr);
    ~ConnectedDevices() override;

    // Reports each paired device that is connected with its services known, now and whenever
    // another one gets there, until stop(). A device may be reported more than once.
    void start();
    void stop();

Q_SIGNALS:
    void found(const QBluetoothDeviceInfo& device);

private:
    // What the OS's file looks and listens with (see BluetoothBackend.hpp for where it lives).
    struct Backend;

    std::unique_ptr<Backend> backend_;
};

} // namespace quenlark
