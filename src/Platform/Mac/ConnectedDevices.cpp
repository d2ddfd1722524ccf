// SPDX-License-Identifier: MIT
#include "Platform/Qt/ConnectedDevices.hpp"

namespace quenlark {

// Qt offers no way to CoreBluetooth's list of peripherals already connected: a clicker connected by
// another app is found once it advertises.
struct ConnectedDevices::Backend {};

ConnectedDevices::ConnectedDevices(QObject* parent) : QObject(parent) {}

ConnectedDevices::~ConnectedDevices() = default;

void ConnectedDevices::start() {}

void ConnectedDevices::stop() {}

} // namespace quenlark
