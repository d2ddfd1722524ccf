// SPDX-License-Identifier: MIT
// Stand-in of the Core Foundation declarations the macOS adapters use, and nothing more. Each one
// is written as Apple publishes it; the quoted text comes from Apple's published Core Foundation
// headers (github.com/opensource-apple/CF, version 1153.18: CFBase.h, CFNumber.h, CFString.h,
// CFDictionary.h, CFBundle.h); where a developer.apple.com page is named, it documents the same
// symbol.
#pragma once

extern "C" {

// CFBase.h: "typedef unsigned char Boolean;" (from MacTypes.h where that is included)
typedef unsigned char Boolean;
// CFBase.h: "typedef unsigned short UniChar;"
typedef unsigned short UniChar;
// CFBase.h (not __LLP64__): "typedef unsigned long CFTypeID;"
typedef unsigned long CFTypeID;
// CFBase.h (not __LLP64__): "typedef unsigned long CFHashCode;"
typedef unsigned long CFHashCode;
// CFBase.h (not __LLP64__): "typedef signed long CFIndex;"
typedef signed long CFIndex;
// CFBase.h: "typedef const void * CFTypeRef;"
typedef const void* CFTypeRef;
// CFBase.h: "typedef const struct CF_BRIDGED_TYPE(NSString) __CFString * CFStringRef;"
typedef const struct __CFString* CFStringRef;
// CFBase.h: "typedef struct { CFIndex location; CFIndex length; } CFRange;"
typedef struct {
    CFIndex location;
    CFIndex length;
} CFRange;
// CFBase.h: "typedef const struct __CFAllocator * CFAllocatorRef;"
typedef const struct __CFAllocator* CFAllocatorRef;

// CFBase.h: "CF_EXPORT CFTypeID CFGetTypeID(CFTypeRef cf);"
CFTypeID CFGetTypeID(CFTypeRef cf);
// CFBase.h: "CF_EXPORT void CFRelease(CFTypeRef cf);"
// https://developer.apple.com/documentation/corefoundation/cfrelease
void CFRelease(CFTypeRef cf);

// CFNumber.h: "typedef const struct CF_BRIDGED_TYPE(NSNumber) __CFBoolean * CFBooleanRef;"
// https://developer.apple.com/documentation/corefoundation/cfboolean
typedef const struct __CFBoolean* CFBooleanRef;
// CFNumber.h: "CF_EXPORT const CFBooleanRef kCFBooleanTrue;"
// https://developer.apple.com/documentation/corefoundation/kcfbooleantrue
extern const CFBooleanRef kCFBooleanTrue;

// CFString.h: "CF_EXPORT CFTypeID CFStringGetTypeID(void);"
// https://developer.apple.com/documentation/corefoundation/cfstringgettypeid()
CFTypeID CFStringGetTypeID(void);
// CFString.h: "CF_EXPORT CFIndex CFStringGetLength(CFStringRef theString);"
CFIndex CFStringGetLength(CFStringRef theString);
// CFString.h: "CF_EXPORT void CFStringGetCharacters(CFStringRef theString, CFRange range,
// UniChar *buffer);"
// https://developer.apple.com/documentation/corefoundation/cfstringgetcharacters(_:_:_:)
void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar* buffer);
// CFString.h: "CF_EXPORT CFStringRef __CFStringMakeConstantString(const char *cStr)
// CF_FORMAT_ARGUMENT(1); /* Private; do not use */" and, where the compiler has no constant
// CFStrings (CFString.h undefines __CONSTANT_CFSTRINGS__ on Linux):
// "#define CFSTR(cStr)  __CFStringMakeConstantString("" cStr "")"
// https://developer.apple.com/documentation/corefoundation/cfstr
CFStringRef __CFStringMakeConstantString(const char* cStr);
#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")

// CFDictionary.h: "typedef const void * (*CFDictionaryRetainCallBack)(CFAllocatorRef allocator,
// const void *value);" and the four callback types after it.
typedef const void* (*CFDictionaryRetainCallBack)(CFAllocatorRef allocator, const void* value);
typedef void (*CFDictionaryReleaseCallBack)(CFAllocatorRef allocator, const void* value);
typedef CFStringRef (*CFDictionaryCopyDescriptionCallBack)(const void* value);
typedef Boolean (*CFDictionaryEqualCallBack)(const void* value1, const void* value2);
typedef CFHashCode (*CFDictionaryHashCallBack)(const void* value);
// CFDictionary.h: "typedef struct { CFIndex version; CFDictionaryRetainCallBack retain;
// CFDictionaryReleaseCallBack release; CFDictionaryCopyDescriptionCallBack copyDescription;
// CFDictionaryEqualCallBack equal; CFDictionaryHashCallBack hash; } CFDictionaryKeyCallBacks;"
// https://developer.apple.com/documentation/corefoundation/cfdictionarykeycallbacks
typedef struct {
    CFIndex version;
    CFDictionaryRetainCallBack retain;
    CFDictionaryReleaseCallBack release;
    CFDictionaryCopyDescriptionCallBack copyDescription;
    CFDictionaryEqualCallBack equal;
    CFDictionaryHashCallBack hash;
} CFDictionaryKeyCallBacks;
// CFDictionary.h: "CF_EXPORT const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;"
// https://developer.apple.com/documentation/corefoundation/kcftypedictionarykeycallbacks
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
// CFDictionary.h: "typedef struct { CFIndex version; CFDictionaryRetainCallBack retain;
// CFDictionaryReleaseCallBack release; CFDictionaryCopyDescriptionCallBack copyDescription;
// CFDictionaryEqualCallBack equal; } CFDictionaryValueCallBacks;"
typedef struct {
    CFIndex version;
    CFDictionaryRetainCallBack retain;
    CFDictionaryReleaseCallBack release;
    CFDictionaryCopyDescriptionCallBack copyDescription;
    CFDictionaryEqualCallBack equal;
} CFDictionaryValueCallBacks;
// CFDictionary.h: "CF_EXPORT const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;"
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;
// CFDictionary.h: "typedef const struct CF_BRIDGED_TYPE(NSDictionary) __CFDictionary *
// CFDictionaryRef;"
typedef const struct __CFDictionary* CFDictionaryRef;
// CFDictionary.h: "CF_EXPORT CFDictionaryRef CFDictionaryCreate(CFAllocatorRef allocator,
// const void **keys, const void **values, CFIndex numValues, const CFDictionaryKeyCallBacks
// *keyCallBacks, const CFDictionaryValueCallBacks *valueCallBacks);"
// https://developer.apple.com/documentation/corefoundation/cfdictionarycreate(_:_:_:_:_:_:)
CFDictionaryRef CFDictionaryCreate(CFAllocatorRef allocator, const void** keys, const void** values,
                                   CFIndex numValues, const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks);

// CFBundle.h: "typedef struct __CFBundle *CFBundleRef;"
typedef struct __CFBundle* CFBundleRef;
// CFBundle.h: "CF_EXPORT CFBundleRef CFBundleGetMainBundle(void);"
// https://developer.apple.com/documentation/corefoundation/cfbundlegetmainbundle()
CFBundleRef CFBundleGetMainBundle(void);
// CFBundle.h: "CF_EXPORT CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle,
// CFStringRef key);"
// https://developer.apple.com/documentation/corefoundation/cfbundlegetvalueforinfodictionarykey(_:_:)
CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key);

} // extern "C"
