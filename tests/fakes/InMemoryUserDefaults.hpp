// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/UserDefaults.hpp"

#include <QHash>

namespace quenlark::fakes {

struct InMemoryUserDefaults : UserDefaults {
    std::optional<QString> stringForKey(const QString& key) const override
    {
        return values.contains(key) ? std::optional(values.value(key)) : std::nullopt;
    }
    void setString(const QString& value, const QString& key) override { values.insert(key, value); }
    void removeObjectForKey(const QString& key) override { values.remove(key); }

    QHash<QString, QString> values;
};

} // namespace quenlark::fakes
