// SPDX-License-Identifier: MIT
#include "Core/UpdateChecker.hpp"

#include <QStringList>

#include <gtest/gtest.h>

#include <limits>

using namespace quenlark;
using namespace Qt::StringLiterals;

namespace {

using Components = QList<qint64>;
constexpr qint64 int64Max = std::numeric_limits<qint64>::max();
constexpr qint64 int64Min = std::numeric_limits<qint64>::min();

std::string show(const QString& text)
{
    return '"' + text.toStdString() + '"';
}

} // namespace

TEST(VersionComparisonTest, DottedNumbersSuffixesAndSigns)
{
    const struct {
        QString candidate, reference;
        Components candidateList, referenceList;
        bool newer;
    } table[] = {
        {u"1.2.1"_s, u"1.2"_s, {1, 2, 1}, {1, 2}, true},
        {u"1.2"_s, u"1.2.0"_s, {1, 2}, {1, 2, 0}, false},
        {u"1.2.0"_s, u"1.2"_s, {1, 2, 0}, {1, 2}, false},
        {u"1.10"_s, u"1.9"_s, {1, 10}, {1, 9}, true},
        {u"1.9"_s, u"1.10"_s, {1, 9}, {1, 10}, false},
        {u"2.0"_s, u"2.0"_s, {2, 0}, {2, 0}, false},
        {u"2.0-beta"_s, u"2.0"_s, {2}, {2, 0}, false},
        {u"2.0-beta"_s, u"1.9"_s, {2}, {1, 9}, true},
        {u"1.2.3-rc1"_s, u"1.2.3"_s, {1, 2}, {1, 2, 3}, false},
        {u"v1.2.0"_s, u"1.0"_s, {2, 0}, {1, 0}, true},
        {u"v2.0"_s, u"1.5"_s, {0}, {1, 5}, false},
        {u""_s, u"1.0"_s, {}, {1, 0}, false},
        {u"1.0"_s, u""_s, {1, 0}, {}, true},
        {u""_s, u""_s, {}, {}, false},
        {u"abc"_s, u"0"_s, {}, {0}, false},
        {u"01.002"_s, u"1.2"_s, {1, 2}, {1, 2}, false},
        {u"1..2"_s, u"1.2"_s, {1, 2}, {1, 2}, false},
        {u".1."_s, u"0.9"_s, {1}, {0, 9}, true},
        {u"+2"_s, u"1"_s, {2}, {1}, true},
        {u"1.-1"_s, u"1"_s, {1, -1}, {1}, false},
        {u"1"_s, u"1.-1"_s, {1}, {1, -1}, true},
        {u"1.2.3.4.5"_s, u"1.2.3.4"_s, {1, 2, 3, 4, 5}, {1, 2, 3, 4}, true},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(show(row.candidate) + " against " + show(row.reference));
        EXPECT_EQ(versionComponents(row.candidate), row.candidateList);
        EXPECT_EQ(versionComponents(row.reference), row.referenceList);
        EXPECT_EQ(isNewer(row.candidate, row.reference), row.newer);
    }
}

TEST(VersionComparisonTest, OnlyWholeSignedAsciiDecimalPiecesSurvive)
{
    const struct {
        QString text;
        Components components;
    } table[] = {
        // White space inside or around a piece.
        {u"1. 2"_s, {1}},
        {u"1 .2"_s, {2}},
        {u" 1.2 "_s, {}},
        {u"1.\t2.3\n"_s, {1}},
        // The signed 64-bit range, both ends included; leading zeros do not count against it.
        {u"1.12345678901234567890"_s, {1}},
        {u"9223372036854775807"_s, {int64Max}},
        {u"+9223372036854775807"_s, {int64Max}},
        {u"-9223372036854775808"_s, {int64Min}},
        {u"9223372036854775808"_s, {}},
        {u"-9223372036854775809"_s, {}},
        {u"+0000000000000000000000009223372036854775807"_s, {int64Max}},
        {u"99999999999999999999999999999.5"_s, {5}},
        // Signs: one, at the very start, followed by digits.
        {u"+"_s, {}},
        {u"-"_s, {}},
        {u"+-1.--1.++1.1-.1+"_s, {}},
        {u"-0.+007"_s, {0, 7}},
        // Other notations and other digits.
        {u"0x10.3"_s, {3}},
        {u"1e3.1_000.0b1.1,5"_s, {}},
        {u"１.２"_s, {}},
        {u"٣.4"_s, {4}},
        {u"१.\U0001D7D0.6"_s, {6}},
        // Only the ASCII full stop separates.
        {u"1。2"_s, {}},
        {u"1．2"_s, {}},
        // A full stop carrying a combining mark is part of its piece.
        {u"1.\u03012"_s, {}},
        {u"1.2.\u03013"_s, {1}},
        {u"2.\u0301"_s, {}},
        {u".\u0301"_s, {}},
        // A mark on a digit spoils that piece alone.
        {u"1\u0301.2"_s, {2}},
        {u"\u0301.1"_s, {1}},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(show(row.text));
        EXPECT_EQ(versionComponents(row.text), row.components);
    }
}

TEST(VersionComparisonTest, ComponentsCompareAsSignedNumbersAtTheLimits)
{
    const struct {
        QString candidate, reference;
        bool newer;
    } table[] = {
        {u"9223372036854775807"_s, u"9223372036854775806"_s, true},
        {u"9223372036854775806"_s, u"9223372036854775807"_s, false},
        {u"-9223372036854775808"_s, u"-9223372036854775807"_s, false},
        {u"0.9223372036854775807"_s, u"0.-9223372036854775808"_s, true},
        {u"0.-9223372036854775808"_s, u"0.9223372036854775807"_s, false},
        // A negative component is smaller than a missing one.
        {u"-1"_s, u""_s, false},
        {u""_s, u"-1"_s, true},
        {u"1.0.-1"_s, u"1"_s, false},
        // A piece out of range is dropped, not clamped.
        {u"1.12345678901234567890"_s, u"1"_s, false},
        {u"1.9223372036854775808"_s, u"1.0"_s, false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(show(row.candidate) + " against " + show(row.reference));
        EXPECT_EQ(isNewer(row.candidate, row.reference), row.newer);
    }
}

TEST(VersionComparisonTest, ComponentCountIsUnbounded)
{
    QStringList pieces(10000, u"0"_s);
    pieces.append(u"1"_s);
    const QString longVersion = pieces.join(u'.');

    EXPECT_EQ(versionComponents(longVersion).size(), 10001);
    EXPECT_TRUE(isNewer(longVersion, u"0"_s));
    EXPECT_FALSE(isNewer(u"0"_s, longVersion));
    EXPECT_FALSE(isNewer(longVersion, longVersion));
}
