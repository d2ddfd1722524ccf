// SPDX-License-Identifier: MIT
#include "Platform/Qt/SettingsUserDefaults.hpp"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace quenlark;

// A missing or unusable file reads as nothing stored; one that does not parse is moved aside
// untouched rather than half-read and overwritten. Every change reaches the file at once, so
// another reader sees it and a crash loses nothing.
TEST(SettingsUserDefaultsTest, BadFilesLoseNothingAndChangesReachTheFileAtOnce)
{
    const QString key = QStringLiteral("savedPeripheralUUID");
    const QString id = QStringLiteral("00000000-0000-0000-0000-A1B2C3D4E5F6");
    const std::pair<std::optional<QByteArray>, bool> table[] = {
        // Content (none: no file), and whether it fails to parse.
        {std::nullopt, false},
        {QByteArray("\x00\xff[General\nsavedPeripheralUUID=abc\n[[[\n\x01", 38), true},
        {"[General]\nsavedPeripheralUUID=a, b\n", false},
        {"", false},
    };
    for (const auto& [content, unreadable] : table) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("companion.conf"));
        QFile file(path);
        if (content) {
            ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(*content) == content->size());
        }
        file.close();
        SettingsUserDefaults defaults(path);
        EXPECT_EQ(defaults.stringForKey(key), std::nullopt)
            << content.value_or("none").toStdString();
        defaults.setString(id, key);
        EXPECT_EQ(SettingsUserDefaults(path).stringForKey(key), id);
        QFile aside(path + QStringLiteral(".unreadable"));
        ASSERT_EQ(aside.open(QIODevice::ReadOnly), unreadable);
        EXPECT_EQ(aside.readAll(), unreadable ? *content : QByteArray());
        defaults.removeObjectForKey(key);
        EXPECT_EQ(SettingsUserDefaults(path).stringForKey(key), std::nullopt);
    }
}
