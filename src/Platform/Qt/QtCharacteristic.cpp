// SPDX-License-Identifier: MIT
#include "Platform/Qt/QtCharacteristic.hpp"

namespace quenlark {

QtCharacteristic::QtCharacteristic(const QLowEnergyCharacteristic& characteristic)
    : characteristic_(characteristic), uuid_(characteristic.uuid())
{}

} // namespace quenlark
