// SPDX-License-Identifier: MIT
#include "Platform/Mac/BundleInfo.hpp"

#include <CoreFoundation/CoreFoundation.h>

#include <vector>

namespace quenlark::BundleInfo {

std::optional<QString> shortVersion()
{
    // Both the bundle and the value are borrowed (the Get rule): neither is released here.
    const CFBundleRef bundle = CFBundleGetMainBundle();
    if (!bundle)
        return std::nullopt;
    const CFTypeRef value =
        CFBundleGetValueForInfoDictionaryKey(bundle, CFSTR("CFBundleShortVersionString"));
    if (!value || CFGetTypeID(value) != CFStringGetTypeID())
        return std::nullopt;
    const auto text = static_cast<CFStringRef>(value);
    const CFIndex length = CFStringGetLength(text);
    std::vector<UniChar> characters(static_cast<std::size_t>(length));
    CFStringGetCharacters(text, CFRange{0, length}, characters.data());
    QString version;
    version.reserve(length);
    for (const UniChar character : characters)
        version.append(QChar(character));
    return version;
}

} // namespace quenlark::BundleInfo
