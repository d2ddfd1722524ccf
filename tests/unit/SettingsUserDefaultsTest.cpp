// SPDX-License-Identifier: MIT
#include "Platform/Qt/SettingsUserDefaults.hpp"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace quenlark;

// A missing or unusable file reads as nothing stored; one that does not parse is moved aside
// untouched rather than half-read and overwritten. Every change is on disk at once: a crash, or
// the session ending, loses nothing. The file is its user's alone, also one left open to all.
TEST(SettingsUserDefaultsTest, BadFilesLoseNothingAndChangesReachTheDiskAtOnce)
{
    const QString key = QStringLiteral("savedPeripheralUUID");
    const QByteArray id = "00000000-0000-0000-0000-A1B2C3D4E5F6";
    // Read past the settings objects: those of one process share what they have not written yet.
    const auto onDisk = [](const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    const std::pair<std::optional<QByteArray>, bool> table[] = {
        // Content (none: no file), and whether it fails to parse.
        {std::nullopt, false},
        {QByteArray("\x00\xff[General\nsavedPeripheralUUID=abc\n[[[\n\x01", 38), true},
        {"[General]\nsavedPeripheralUUID=a, b\n", false},
    };
    for (const auto& [content, unreadable] : table) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("companion.conf"));
        if (content) {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(*content) == content->size());
            file.setPermissions(file.permissions() | QFile::ReadGroup | QFile::ReadOther);
        }
        SettingsUserDefaults defaults(path);
        EXPECT_EQ(defaults.stringForKey(key), std::nullopt)
            << content.value_or("none").toStdString();
        EXPECT_EQ(onDisk(path + QStringLiteral(".unreadable")),
                  unreadable ? *content : QByteArray());
        defaults.setString(QString::fromLatin1(id), key);
        EXPECT_TRUE(onDisk(path).contains(id));
        EXPECT_EQ(QFile::permissions(path),
                  QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        defaults.removeObjectForKey(key);
        EXPECT_FALSE(onDisk(path).contains(id));
    }
}
