// SPDX-License-Identifier: MIT
#pragma once

#include "Platform/UserDefaults.hpp"

#include <QSettings>

#include <memory>

namespace quenlark {

// User defaults in the user's settings file (organisation "Quenlark", application "Quenlark
// Companion"), written through at every change and readable by its user alone (mode 0600, also for
// a file an older version left open to all). A file that cannot be parsed reads as nothing stored;
// it is moved aside to "<file>.unreadable" rather than overwritten.
class SettingsUserDefaults : public UserDefaults {
public:
    SettingsUserDefaults();
    // An INI file at `filePath`, for tests and tools.
    explicit SettingsUserDefaults(const QString& filePath);
    // A store that the system keeps, and keeps private, itself: on macOS QSettings' native format
    // is the user defaults system.
    explicit SettingsUserDefaults(std::unique_ptr<QSettings> systemStore);

    std::optional<QString> stringForKey(const QString& key) const override;
    void setString(const QString& value, const QString& key) override;
    void removeObjectForKey(const QString& key) override;

    QString fileName() const { return settings_->fileName(); }

private:
    template <typename... Args> void open(Args... args);

    std::unique_ptr<QSettings> settings_;
};

} // namespace quenlark
