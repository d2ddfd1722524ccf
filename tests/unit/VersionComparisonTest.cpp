// SPDX-License-Identifier: MIT
#include "Core/UpdateChecker.hpp"

#include <QStringList>

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <random>

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

namespace {

// Builds version texts piece by piece, knowing which pieces must be accepted and their values.
class VersionGenerator {
public:
    struct Version {
        QString text;
        Components components;
    };

    Version next()
    {
        Version version;
        QStringList pieces;
        const int count = pick(0, 6);
        for (int i = 0; i < count; ++i)
            addPiece(pieces, version.components);
        version.text = pieces.join(u'.');
        return version;
    }

    // The same components, written differently and followed by some zeros and rejected pieces.
    Version respell(const Components& components)
    {
        Version version;
        QStringList pieces;
        for (const qint64 value : components) {
            pieces.append(spell(value));
            version.components.append(value);
            if (pick(0, 3) == 0)
                pieces.append(rejectedPiece());
        }
        for (int zeros = pick(0, 2); zeros > 0; --zeros) {
            pieces.append(spell(0));
            version.components.append(0);
        }
        version.text = pieces.join(u'.');
        return version;
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution(low, high)(random_); }

    qint64 value()
    {
        switch (pick(0, 4)) {
        case 0:
            return pick(0, 3) == 0 ? int64Max : int64Min;
        case 1:
            return std::uniform_int_distribution<qint64>(int64Min, int64Max)(random_);
        case 2:
            return -pick(0, 3);
        default:
            return pick(0, 12);
        }
    }

    QString spell(qint64 value)
    {
        const QString digits = QString::number(value);
        const QString zeros(pick(0, 3), u'0');
        if (value < 0)
            return u'-' + zeros + digits.sliced(1);
        return (pick(0, 4) == 0 ? u"+"_s : QString()) + zeros + digits;
    }

    QString rejectedPiece()
    {
        static const std::array pieces = {u"beta"_s, u"rc1"_s,       u"0x1F"_s,
                                          u" 7"_s,   u"7 "_s,        u"+"_s,
                                          u"-"_s,    u"+-3"_s,       u"１２"_s,
                                          u"٣"_s,    u"1.\u03012"_s, u"9223372036854775808"_s,
                                          u"v2"_s,   u"2-beta"_s,    u"-9223372036854775809"_s,
                                          u"1e3"_s,  u"e\u0301"_s,   u"12345678901234567890"_s,
                                          u"1。2"_s, u"\U0001D7D0"_s};
        return pieces[static_cast<std::size_t>(pick(0, int(pieces.size()) - 1))];
    }

    void addPiece(QStringList& pieces, Components& components)
    {
        switch (pick(0, 5)) {
        case 0:
            pieces.append(QString()); // two full stops in a row, or one at either end
            break;
        case 1:
            pieces.append(rejectedPiece());
            break;
        default: {
            const qint64 v = value();
            pieces.append(spell(v));
            components.append(v);
        }
        }
    }

    std::mt19937 random_{20240601};
};

bool equalOnceZeroFilled(const Components& a, const Components& b)
{
    for (qsizetype i = 0; i < std::max(a.size(), b.size()); ++i)
        if (a.value(i, 0) != b.value(i, 0))
            return false;
    return true;
}

} // namespace

TEST(VersionComparisonPropertyTest, GeneratedTextsYieldTheirAcceptedPiecesInOrder)
{
    VersionGenerator generator;
    for (int i = 0; i < 5000; ++i) {
        const auto version = generator.next();
        ASSERT_EQ(versionComponents(version.text), version.components) << show(version.text);
    }
}

TEST(VersionComparisonPropertyTest, ExactlyOneDirectionIsNewerUnlessEqualOnceZeroFilled)
{
    VersionGenerator generator;
    int equalPairs = 0;
    for (int i = 0; i < 5000; ++i) {
        const auto first = generator.next();
        // Every other pair is an equal version spelled differently, so both branches are taken.
        const auto second = i % 2 == 0 ? generator.next() : generator.respell(first.components);
        SCOPED_TRACE(show(first.text) + " and " + show(second.text));

        const bool forward = isNewer(first.text, second.text);
        const bool backward = isNewer(second.text, first.text);
        ASSERT_FALSE(forward && backward);
        if (equalOnceZeroFilled(first.components, second.components)) {
            ++equalPairs;
            ASSERT_FALSE(forward);
            ASSERT_FALSE(backward);
        } else {
            ASSERT_NE(forward, backward);
        }
    }
    EXPECT_GE(equalPairs, 2500);
}

TEST(VersionComparisonPropertyTest, NewerIsTransitive)
{
    VersionGenerator generator;
    int chains = 0;
    for (int i = 0; i < 5000; ++i) {
        const auto a = generator.next().text;
        const auto b = generator.next().text;
        const auto c = generator.next().text;
        if (isNewer(a, b) && isNewer(b, c)) {
            ++chains;
            ASSERT_TRUE(isNewer(a, c)) << show(a) << " > " << show(b) << " > " << show(c);
        }
    }
    EXPECT_GT(chains, 500);
}
