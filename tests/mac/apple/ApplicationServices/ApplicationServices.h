// SPDX-License-Identifier: MIT
// Stand-in of the Accessibility trust declarations the macOS adapters use, and nothing more; like
// the real umbrella, it brings Core Foundation and CoreGraphics along. The quoted text is the
// macOS SDK's HIServices header AXUIElement.h; its page is the AXUIElement.h Reference,
// https://developer.apple.com/library/mac/documentation/ApplicationServices/Reference/AXUIElement_header_reference/index.html
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <CoreGraphics/CoreGraphics.h>

extern "C" {

// AXUIElement.h: "extern Boolean AXIsProcessTrusted (void) CF_AVAILABLE_MAC(10_4);"
Boolean AXIsProcessTrusted(void);

// AXUIElement.h: "extern Boolean AXIsProcessTrustedWithOptions (CFDictionaryRef __nullable
// options) CF_AVAILABLE_MAC(10_9);"
Boolean AXIsProcessTrustedWithOptions(CFDictionaryRef options);

// AXUIElement.h: "extern CFStringRef kAXTrustedCheckOptionPrompt CF_AVAILABLE_MAC(10_9);"
extern CFStringRef kAXTrustedCheckOptionPrompt;

} // extern "C"
