// SPDX-License-Identifier: MIT
#pragma once

#include <QUuid>

namespace quenlark::BLEConstants {

// The clicker's GATT service: the only service scanned for and discovered.
const QUuid& serviceUUID();
// The notifying command characteristic inside that service.
const QUuid& characteristicUUID();

} // namespace quenlark::BLEConstants
