// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/Bluetooth.hpp"

#include <QObject>

#include <memory>

class QBluetoothLocalDevice;

namespace quenlark {

// The power state of the default Bluetooth adapter: poweredOn, poweredOff, or unsupported while
// there is no adapter at all (bluetoothd gone included). Signals only real changes of that value.
// Also tells when an adapter's discovery starts or ends, whoever asked for it.
class AdapterPowerWatcher : public QObject {
    Q_OBJECT

public:
    explicit AdapterPowerWatcher(QObject* parent = nullptr);
    ~AdapterPowerWatcher() override;

    CentralState state() const { return state_; }

Q_SIGNALS:
    void stateChanged(quenlark::CentralState state);
    void discoveringChanged(bool discovering);

private:
    void bindDefaultAdapter();
    void update(CentralState state);

    std::unique_ptr<QObject> adapterListener_;
    std::unique_ptr<QBluetoothLocalDevice> device_;
    CentralState state_ = CentralState::unknown;
};

} // namespace quenlark
