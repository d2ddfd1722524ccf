// SPDX-License-Identifier: MIT
#include "Models/BLEConstants.hpp"

namespace quenlark::BLEConstants {

const QUuid& serviceUUID()
{
    static const QUuid uuid(QStringLiteral("E20A39F4-73F5-4BC4-A12F-17D1AD07A961"));
    return uuid;
}

const QUuid& characteristicUUID()
{
    static const QUuid uuid(QStringLiteral("08590F7E-DB05-467E-8757-72F6FAEB13D4"));
    return uuid;
}

} // namespace quenlark::BLEConstants
