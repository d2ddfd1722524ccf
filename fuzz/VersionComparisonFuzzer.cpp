// SPDX-License-Identifier: MIT
// Two version texts, read as UTF-8 or as raw UTF-16 (unpaired surrogates included). Whatever they
// are, nothing may crash, nothing is newer than itself, one of two texts is newer exactly when
// their components differ beyond trailing zeros, and no text has more components than pieces.
#include "Core/UpdateChecker.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>

using namespace quenlark;

namespace {

QString decode(const std::string& bytes, bool utf16)
{
    if (!utf16)
        return QString::fromStdString(bytes);
    std::u16string units(bytes.size() / 2, u'\0');
    std::memcpy(units.data(), bytes.data(), units.size() * sizeof(char16_t));
    return QString::fromStdU16String(units);
}

// A missing component counts as 0, so trailing zeros tell nothing.
QList<qint64> significant(QList<qint64> components)
{
    while (!components.isEmpty() && components.back() == 0)
        components.removeLast();
    return components;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const bool utf16 = input.ConsumeBool();
    const QString a = decode(input.ConsumeRandomLengthString(), utf16);
    const QString b = decode(input.ConsumeRemainingBytesAsString(), utf16);
    const bool newer = isNewer(a, b);
    const bool older = isNewer(b, a);
    // Not QList's ==, which hands memcmp a null pointer for some empty lists.
    const bool same =
        std::ranges::equal(significant(versionComponents(a)), significant(versionComponents(b)));
    if (isNewer(a, a) || (newer && older) || (newer || older) == same ||
        versionComponents(a).size() > a.count(u'.') + 1)
        __builtin_trap();
    return 0;
}
