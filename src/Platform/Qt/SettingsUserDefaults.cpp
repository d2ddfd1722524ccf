// SPDX-License-Identifier: MIT
#include "Platform/Qt/SettingsUserDefaults.hpp"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace quenlark {

SettingsUserDefaults::SettingsUserDefaults()
{
    open(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Quenlark"),
         QStringLiteral("Quenlark Companion"));
}

SettingsUserDefaults::SettingsUserDefaults(const QString& filePath)
{
    open(filePath, QSettings::IniFormat);
}

SettingsUserDefaults::SettingsUserDefaults(std::unique_ptr<QSettings> systemStore)
    : settings_(std::move(systemStore))
{}

namespace {
// The file holds the clicker's address and the portal's restore token: it is the user's alone,
// also when an older version made it readable to all. QSettings rewrites it through QSaveFile,
// which keeps the mode of the file it replaces.
void keepPrivate(const QString& path)
{
    constexpr auto privateMode = QFile::ReadOwner | QFile::WriteOwner;
    QFile file(path);
    if (file.exists())
        file.setPermissions(privateMode);
    else if (QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly, privateMode))
        file.close();
}
} // namespace

template <typename... Args> void SettingsUserDefaults::open(Args... args)
{
    settings_ = std::make_unique<QSettings>(args...);
    keepPrivate(settings_->fileName());
    if (settings_->status() != QSettings::FormatError)
        return;
    // QSettings keeps whatever it half-parsed and rewrites the file at the next sync; keep the
    // user's file intact instead and start from an empty one.
    const QString path = settings_->fileName();
    settings_.reset();
    const QString aside = path + QStringLiteral(".unreadable");
    QFile::remove(aside);
    QFile::rename(path, aside);
    keepPrivate(path);
    settings_ = std::make_unique<QSettings>(args...);
}

std::optional<QString> SettingsUserDefaults::stringForKey(const QString& key) const
{
    const QVariant value = settings_->value(key);
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}

void SettingsUserDefaults::setString(const QString& value, const QString& key)
{
    settings_->setValue(key, value);
    settings_->sync();
}

void SettingsUserDefaults::removeObjectForKey(const QString& key)
{
    settings_->remove(key);
    settings_->sync();
}

} // namespace quenlark
