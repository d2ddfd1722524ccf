// SPDX-License-Identifier: MIT
// Compares two version texts read from the input, as UTF-8 or as raw UTF-16 (unpaired surrogates
// included), and checks what must hold for any text: nothing is newer than itself, two texts are
// never both newer than each other, the answer follows from the components, and for ASCII texts
// the components are what a plain split at full stops yields.

#include "Core/UpdateChecker.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

using namespace quenlark;

namespace {

QString decode(const std::string& bytes, bool utf16)
{
    if (!utf16)
        return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    std::u16string units(bytes.size() / 2, u'\0');
    std::memcpy(units.data(), bytes.data(), units.size() * sizeof(char16_t));
    return QString::fromUtf16(units.data(), static_cast<qsizetype>(units.size()));
}

[[noreturn]] void broken(const char* rule, const QString& a, const QString& b = {})
{
    std::fprintf(stderr, "%s: \"%s\" / \"%s\"\n", rule, a.toUtf8().constData(),
                 b.toUtf8().constData());
    __builtin_trap();
}

// A piece of ASCII text: an optional sign, then decimal digits, within the signed 64-bit range.
std::optional<qint64> parsePiece(std::string_view piece)
{
    bool negative = false;
    if (!piece.empty() && (piece.front() == '+' || piece.front() == '-')) {
        negative = piece.front() == '-';
        piece.remove_prefix(1);
    }
    if (piece.empty() || piece.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), magnitude);
    if (error != std::errc() || end != piece.data() + piece.size())
        return std::nullopt;
    constexpr auto limit = static_cast<std::uint64_t>(std::numeric_limits<qint64>::max());
    if (magnitude > limit + (negative ? 1 : 0))
        return std::nullopt;
    if (negative)
        return magnitude == limit + 1 ? std::numeric_limits<qint64>::min()
                                      : -static_cast<qint64>(magnitude);
    return static_cast<qint64>(magnitude);
}

QList<qint64> plainComponents(const QString& ascii)
{
    QList<qint64> components;
    const std::string text = ascii.toStdString();
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t stop = std::min(text.find('.', start), text.size());
        if (const auto value = parsePiece(std::string_view(text).substr(start, stop - start)))
            components.append(*value);
        start = stop + 1;
    }
    return components;
}

bool newerByComponents(const QList<qint64>& a, const QList<qint64>& b)
{
    for (qsizetype i = 0; i < std::max(a.size(), b.size()); ++i) {
        if (a.value(i) != b.value(i))
            return a.value(i) > b.value(i);
    }
    return false;
}

bool isAscii(const QString& text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

void checkOne(const QString& text)
{
    const QList<qint64> components = versionComponents(text);
    if (components != versionComponents(text))
        broken("components differ between two calls", text);
    if (components.size() > text.count(u'.') + 1)
        broken("more components than pieces", text);
    if (isAscii(text) && components != plainComponents(text))
        broken("components of an ASCII text differ from a plain split", text);
    if (isNewer(text, text))
        broken("a text is newer than itself", text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const bool utf16 = input.ConsumeBool();
    const QString candidate = decode(input.ConsumeRandomLengthString(), utf16);
    const QString reference = decode(input.ConsumeRemainingBytesAsString(), utf16);

    checkOne(candidate);
    checkOne(reference);
    const bool forward = isNewer(candidate, reference);
    const bool backward = isNewer(reference, candidate);
    if (forward && backward)
        broken("each text is newer than the other", candidate, reference);
    if (forward != newerByComponents(versionComponents(candidate), versionComponents(reference)))
        broken("the answer does not follow from the components", candidate, reference);
    return 0;
}
