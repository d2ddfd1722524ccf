// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Bluetooth.hpp"

#include <QBluetoothDeviceDiscoveryAgent>
#include <QObject>

#include <memory>

namespace quenlark {

// The power state of the default Bluetooth adapter: poweredOn, poweredOff, unsupported while
// there is no adapter at all (bluetoothd gone included), unauthorized while the user denies this
// program Bluetooth (macOS). Signals only real changes of that value. Also tells, where the stack
// says so, when an adapter's discovery starts or ends, whoever asked for it.
class AdapterPowerWatcher : public QObject {
    Q_OBJECT

public:
    explicit AdapterPowerWatcher(QObject* parent = nullptr);
    ~AdapterPowerWatcher() override;

    CentralState state() const { return state_; }
    // The link's own scan failed. Where the stack tells the radio's state only through discovery
    // errors, this is how a radio turned off during a scan is learnt.
    void discoveryFailed(QBluetoothDeviceDiscoveryAgent::Error error);

Q_SIGNALS:
    void stateChanged(quenlark::CentralState state);
    void discoveringChanged(bool discovering);

private:
    // What the OS's file watches the stack with (see BluetoothBackend.hpp for where it lives).
    struct Backend;

    void update(CentralState state)
    {
        if (state == state_)
            return;
        state_ = state;
        Q_EMIT stateChanged(state);
    }

    std::unique_ptr<Backend> backend_;
    CentralState state_ = CentralState::unknown;
};

} // namespace quenlark
