// SPDX-License-Identifier: MIT
// Stand-in of the Quartz event services declarations the macOS adapters use, and nothing more.
// The quoted text is the macOS SDK's CoreGraphics.framework headers (CGEvent.h as in
// github.com/phracker/MacOSX-SDKs, MacOSX10.15.sdk; CGEventSource.h, CGEventTypes.h and
// CGRemoteOperation.h as published in copies of the SDK); the developer.apple.com page beside
// each documents the same symbol. CF_ENUM(type, name) is the SDK's enumeration with a fixed
// underlying type.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <stdint.h>

extern "C" {

// CGRemoteOperation.h: "typedef uint16_t CGKeyCode;"
// https://developer.apple.com/documentation/coregraphics/cgkeycode ("typealias CGKeyCode = UInt16")
typedef uint16_t CGKeyCode;

// CGEventTypes.h: "typedef struct CF_BRIDGED_TYPE(id) __CGEvent *CGEventRef;"
// https://developer.apple.com/documentation/coregraphics/cgevent
typedef struct __CGEvent* CGEventRef;
// CGEventTypes.h: "typedef struct CF_BRIDGED_TYPE(id) __CGEventSource *CGEventSourceRef;"
typedef struct __CGEventSource* CGEventSourceRef;

// CGEventTypes.h: "typedef CF_ENUM(int32_t, CGEventSourceStateID) {
//   kCGEventSourceStatePrivate = -1, kCGEventSourceStateCombinedSessionState = 0,
//   kCGEventSourceStateHIDSystemState = 1 };"
typedef enum CGEventSourceStateID : int32_t {
    kCGEventSourceStatePrivate = -1,
    kCGEventSourceStateCombinedSessionState = 0,
    kCGEventSourceStateHIDSystemState = 1
} CGEventSourceStateID;

// CGEventTypes.h: "typedef CF_ENUM(uint32_t, CGEventTapLocation) { kCGHIDEventTap = 0,
//   kCGSessionEventTap, kCGAnnotatedSessionEventTap };"
// https://developer.apple.com/documentation/coregraphics/cgeventtaplocation
typedef enum CGEventTapLocation : uint32_t {
    kCGHIDEventTap = 0,
    kCGSessionEventTap,
    kCGAnnotatedSessionEventTap
} CGEventTapLocation;

// CGEventSource.h: "CG_EXTERN CGEventSourceRef __nullable CGEventSourceCreate(
//   CGEventSourceStateID stateID) CG_AVAILABLE_STARTING(10.4);"
// https://developer.apple.com/documentation/coregraphics/cgeventsource/init(stateid:)
CGEventSourceRef CGEventSourceCreate(CGEventSourceStateID stateID);

// CGEvent.h: "CG_EXTERN CGEventRef __nullable CGEventCreateKeyboardEvent(
//   CGEventSourceRef __nullable source, CGKeyCode virtualKey, bool keyDown)
//   CG_AVAILABLE_STARTING(10.4);"
// https://developer.apple.com/documentation/coregraphics/cgevent/init(keyboardeventsource:virtualkey:keydown:)
CGEventRef CGEventCreateKeyboardEvent(CGEventSourceRef source, CGKeyCode virtualKey, bool keyDown);

// CGEvent.h: "CG_EXTERN void CGEventPost(CGEventTapLocation tap, CGEventRef __nullable event)
//   CG_AVAILABLE_STARTING(10.4);"
// https://developer.apple.com/documentation/coregraphics/cgevent/post(tap:)
void CGEventPost(CGEventTapLocation tap, CGEventRef event);

} // extern "C"
