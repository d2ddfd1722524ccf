// SPDX-License-Identifier: MIT
#include "Platform/Qt/QtService.hpp"

#include "Platform/BorrowedList.hpp"

#include <algorithm>

namespace quenlark {

QtService::QtService(const QUuid& uuid, std::unique_ptr<QLowEnergyService> service)
    : uuid_(uuid), service_(std::move(service))
{}

QtService::~QtService() = default;

std::optional<QList<Characteristic*>> QtService::characteristics() const
{
    return borrowedList<Characteristic>(characteristics_);
}

void QtService::adoptCharacteristics(const QList<QUuid>& uuids)
{
    if (!characteristics_)
        characteristics_.emplace();
    for (const QLowEnergyCharacteristic& found : service_->characteristics()) {
        if (!uuids.isEmpty() && !uuids.contains(QUuid(found.uuid())))
            continue;
        if (!find(found))
            characteristics_->push_back(std::make_unique<QtCharacteristic>(found));
    }
}

QtCharacteristic* QtService::find(const QLowEnergyCharacteristic& characteristic) const
{
    if (!characteristics_)
        return nullptr;
    const auto it = std::find_if(characteristics_->begin(), characteristics_->end(),
                                 [&characteristic](const auto& candidate) {
                                     return candidate->lowEnergyCharacteristic() == characteristic;
                                 });
    return it == characteristics_->end() ? nullptr : it->get();
}

QtCharacteristic* QtService::find(const Characteristic& characteristic) const
{
    if (!characteristics_)
        return nullptr;
    const auto it = std::find_if(
        characteristics_->begin(), characteristics_->end(),
        [&characteristic](const auto& candidate) { return candidate.get() == &characteristic; });
    return it == characteristics_->end() ? nullptr : it->get();
}

} // namespace quenlark
