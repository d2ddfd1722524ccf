// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <optional>

namespace quenlark {

class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    virtual std::optional<QString> stringForKey(const QString& key) const = 0;
    virtual void setString(const QString& value, const QString& key) = 0;
    virtual void removeObjectForKey(const QString& key) = 0;
};

} // namespace quenlark
