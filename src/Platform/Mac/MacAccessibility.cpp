// SPDX-License-Identifier: MIT
#include "Platform/Mac/MacAccessibility.hpp"

#include <ApplicationServices/ApplicationServices.h>

namespace quenlark {

bool MacAccessibility::isProcessTrusted()
{
    return AXIsProcessTrusted();
}

bool MacAccessibility::isProcessTrustedWithPrompt()
{
    const void* keys[] = {kAXTrustedCheckOptionPrompt};
    const void* values[] = {kCFBooleanTrue};
    const CFDictionaryRef options = CFDictionaryCreate(
        nullptr, keys, values, 1, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    // Without the dictionary the check would not prompt; the answer is still the system's.
    const bool trusted = AXIsProcessTrustedWithOptions(options);
    if (options)
        CFRelease(options);
    return trusted;
}

} // namespace quenlark
