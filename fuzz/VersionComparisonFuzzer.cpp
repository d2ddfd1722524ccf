// SPDX-License-Identifier: MIT
// Compares two version texts read from the input, as UTF-8 or as raw UTF-16 (unpaired surrogates
// included), and checks what must hold for any text: nothing is newer than itself, two texts are
// never both newer than each other, and the answer follows from the components.

#include "Core/UpdateChecker.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

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

bool newerByComponents(const QList<qint64>& a, const QList<qint64>& b)
{
    for (qsizetype i = 0; i < std::max(a.size(), b.size()); ++i) {
        if (a.value(i) != b.value(i))
            return a.value(i) > b.value(i);
    }
    return false;
}

void checkOne(const QString& text)
{
    const QList<qint64> components = versionComponents(text);
    if (components != versionComponents(text))
        broken("components differ between two calls", text);
    if (components.size() > text.count(u'.') + 1)
        broken("more components than pieces", text);
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
