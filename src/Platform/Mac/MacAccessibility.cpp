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
    // Should the dictionary not be made, the check still answers, only without the prompt.
    const bool trusted = AXIsProcessTrustedWithOptions(options);
    if (options)
        CFRelease(options);
    return trusted;
}

} // namespace quenlark
