// SPDX-License-Identifier: MIT
// Two version texts, read as UTF-8 or as raw UTF-16 (unpaired surrogates included). Whatever they
// are, nothing may crash, nothing is newer than itself, two texts are never newer than each other,
// and no text has more components than pieces between full stops.
#include "Core/UpdateChecker.hpp"

#include <fuzzer/FuzzedDataProvider.h>

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const bool utf16 = input.ConsumeBool();
    const QString a = decode(input.ConsumeRandomLengthString(), utf16);
    const QString b = decode(input.ConsumeRemainingBytesAsString(), utf16);
    if (isNewer(a, a) || (isNewer(a, b) && isNewer(b, a)) ||
        versionComponents(a).size() > a.count(u'.') + 1)
        __builtin_trap();
    return 0;
}
