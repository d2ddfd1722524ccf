// SPDX-License-Identifier: MIT
#include "Platform/Qt/SettingsUserDefaults.hpp"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace quenlark;

namespace {
const QString key = QStringLiteral("savedPeripheralUUID");
const QString id = QStringLiteral("00000000-0000-0000-0000-A1B2C3D4E5F6");

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

TEST(SettingsUserDefaultsTest, WritesReachTheFileAtOnceAndOutliveTheObject)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("companion.conf"));
    {
        SettingsUserDefaults defaults(path);
        EXPECT_EQ(defaults.stringForKey(key), std::nullopt);
        defaults.setString(id, key);
        // Another reader sees it before this object is gone: nothing waits for a later sync.
        EXPECT_EQ(SettingsUserDefaults(path).stringForKey(key), id);
    }
    SettingsUserDefaults reopened(path);
    EXPECT_EQ(reopened.stringForKey(key), id);
    reopened.removeObjectForKey(key);
    EXPECT_EQ(SettingsUserDefaults(path).stringForKey(key), std::nullopt);
}

TEST(SettingsUserDefaultsTest, BadFilesReadAsNothingStoredAndAreNotLost)
{
    const struct {
        const char* name;
        QByteArray content;
        bool keptAside;
    } table[] = {
        {"binary garbage", QByteArray("\x00\xff[General\nsavedPeripheralUUID=abc\n[[[\n\x01", 38),
         true},
        {"list instead of text", QByteArray("[General]\nsavedPeripheralUUID=a, b\n"), false},
        {"empty", QByteArray(), false},
    };
    for (const auto& row : table) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("companion.conf"));
        writeFile(path, row.content);
        SettingsUserDefaults defaults(path);
        EXPECT_EQ(defaults.stringForKey(key), std::nullopt) << row.name;
        defaults.setString(id, key);
        EXPECT_EQ(SettingsUserDefaults(path).stringForKey(key), id) << row.name;
        EXPECT_EQ(QFile::exists(path + QStringLiteral(".unreadable")), row.keptAside) << row.name;
        if (row.keptAside) {
            EXPECT_EQ(readFile(path + QStringLiteral(".unreadable")), row.content) << row.name;
        }
    }
}
