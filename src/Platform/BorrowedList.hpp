// SPDX-License-Identifier: MIT
#pragma once

#include <QList>

#include <memory>
#include <optional>
#include <vector>

namespace quenlark {

// The port's view of objects an adapter owns: absent stays absent, otherwise each as a plain
// pointer to the port type, in order.
template <typename Port, typename Owned>
std::optional<QList<Port*>>
borrowedList(const std::optional<std::vector<std::unique_ptr<Owned>>>& owned)
{
    if (!owned)
        return std::nullopt;
    QList<Port*> list;
    list.reserve(static_cast<qsizetype>(owned->size()));
    for (const auto& item : *owned)
        list.append(item.get());
    return list;
}

} // namespace quenlark
