// SPDX-License-Identifier: MIT
#include "Platform/Qt/SettingsUserDefaults.hpp"
#include "RowName.hpp"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace quenlark;

namespace {

struct FileRow {
    const char* name;
    std::optional<QByteArray> content; // none: no file
    bool unreadable;                   // fails to parse
};
const FileRow fileRows[] = {
    {"NoFile", std::nullopt, false},
    {"Garbage", QByteArray("\x00\xff[General\nsavedPeripheralUUID=abc\n[[[\n\x01", 38), true},
    {"ValueOfAnotherType", "[General]\nsavedPeripheralUUID=a, b\n", false},
};

class SettingsUserDefaultsTest : public testing::TestWithParam<FileRow> {};

// Read past the settings objects: those of one process share what they have not written yet.
QByteArray onDisk(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// A missing or unusable file reads as nothing stored; one that does not parse is moved aside
// untouched rather than half-read and overwritten. Every change is on disk at once: a crash, or
// the session ending, loses nothing. The file is its user's alone, also one left open to all.
TEST_P(SettingsUserDefaultsTest, BadFilesLoseNothingAndChangesReachTheDiskAtOnce)
{
    const QString key = QStringLiteral("savedPeripheralUUID");
    const QByteArray id = "00000000-0000-0000-0000-A1B2C3D4E5F6";
    const auto& [name, content, unreadable] = GetParam();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("companion.conf"));
    if (content) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(*content) == content->size());
        file.setPermissions(file.permissions() | QFile::ReadGroup | QFile::ReadOther);
    }
    SettingsUserDefaults defaults(path);
    EXPECT_EQ(defaults.stringForKey(key), std::nullopt);
    EXPECT_EQ(onDisk(path + QStringLiteral(".unreadable")), unreadable ? *content : QByteArray());
    defaults.setString(QString::fromLatin1(id), key);
    EXPECT_TRUE(onDisk(path).contains(id));
    EXPECT_EQ(QFile::permissions(path),
              QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    defaults.removeObjectForKey(key);
    EXPECT_FALSE(onDisk(path).contains(id));
}
INSTANTIATE_TEST_SUITE_P(Rows, SettingsUserDefaultsTest, testing::ValuesIn(fileRows),
                         testing_support::RowName());
