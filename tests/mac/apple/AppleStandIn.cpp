// SPDX-License-Identifier: MIT
// A recording implementation of the Apple functions declared beside it. Objects are kept until
// the stand-in goes, so that a use after release is seen rather than undefined.
#include "AppleStandIn.hpp"

#include <ApplicationServices/ApplicationServices.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

namespace {

enum TypeID : CFTypeID {
    stringType = 7,
    booleanType,
    dictionaryType,
    bundleType,
    numberType,
    eventSourceType,
    eventType
};

enum class Life { constant, owned, released };

std::string utf8(const std::u16string& text)
{
    std::string out;
    for (const char16_t c : text)
        out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

} // namespace

struct StandInObject {
    StandInObject(CFTypeID type, std::string name, Life life)
        : type(type), name(std::move(name)), life(life)
    {}
    virtual ~StandInObject() = default;
    CFTypeID type;
    std::string name;
    Life life;
};

struct __CFString : StandInObject {
    __CFString(std::u16string text, Life life, std::string name = {})
        : StandInObject(stringType, name.empty() ? '"' + utf8(text) + '"' : name, life),
          text(std::move(text))
    {}
    std::u16string text;
};

struct __CFBoolean : StandInObject {
    __CFBoolean() : StandInObject(booleanType, "kCFBooleanTrue", Life::constant) {}
};

struct __CFDictionary : StandInObject {
    using StandInObject::StandInObject;
    std::string entries;
};

struct __CFBundle : StandInObject {
    __CFBundle() : StandInObject(bundleType, "mainBundle", Life::constant) {}
    std::map<std::u16string, StandInObject*> info;
};

struct __CGEventSource : StandInObject {
    using StandInObject::StandInObject;
};

struct __CGEvent : StandInObject {
    using StandInObject::StandInObject;
};

namespace {

__CFBoolean trueObject;
__CFString promptKey(u"AXTrustedCheckOptionPrompt", Life::constant, "kAXTrustedCheckOptionPrompt");
// Constant strings live as long as the program, as CFSTR's do.
std::map<std::string, std::unique_ptr<__CFString>> constantStrings;

} // namespace

extern "C" {
const CFBooleanRef kCFBooleanTrue = &trueObject;
CFStringRef kAXTrustedCheckOptionPrompt = &promptKey;
const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0,       nullptr, nullptr,
                                                                nullptr, nullptr, nullptr};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0, nullptr, nullptr, nullptr,
                                                                    nullptr};
}

namespace {
quenlark::AppleStandIn::State* current = nullptr;
} // namespace

namespace quenlark {

struct AppleStandIn::State {
    std::vector<std::string> log;
    std::vector<std::string> faults;
    std::vector<std::unique_ptr<StandInObject>> objects;
    std::map<const void*, StandInObject*> known;
    std::map<std::string, int> calls;
    int created = 0;
    std::set<std::pair<std::string, int>> failing;
    std::unique_ptr<__CFBundle> bundle;
    bool trusted = false;

    // Whether this call of a Create function is one of those set to fail.
    bool fails(const std::string& function)
    {
        return failing.contains({function, ++calls[function]});
    }

    template <typename T> T* keep(std::unique_ptr<T> object)
    {
        T* kept = object.get();
        known[kept] = kept;
        objects.push_back(std::move(object));
        return kept;
    }

    template <typename T> T* create(CFTypeID type, const char* kind)
    {
        return keep(std::make_unique<T>(type, kind + std::to_string(++created), Life::owned));
    }

    StandInObject* find(const void* object)
    {
        if (object == &trueObject)
            return &trueObject;
        if (object == &promptKey)
            return &promptKey;
        for (const auto& [text, string] : constantStrings)
            if (string.get() == object)
                return string.get();
        const auto found = known.find(object);
        return found == known.end() ? nullptr : found->second;
    }

    // The object an argument names, when it is alive and of the expected type (0: any); otherwise
    // a fault, and the call goes on as if given NULL.
    StandInObject* use(const void* object, CFTypeID type, const char* function)
    {
        if (!object)
            return nullptr;
        StandInObject* found = find(object);
        if (!found || found->life == Life::released) {
            faults.push_back(std::string(function) + ": " + (found ? found->name : "unknown") +
                             " is not alive");
            return nullptr;
        }
        if (type != 0 && found->type != type) {
            faults.push_back(std::string(function) + ": " + found->name + " has the wrong type");
            return nullptr;
        }
        return found;
    }

    static std::string name(const StandInObject* object) { return object ? object->name : "NULL"; }
};

AppleStandIn::AppleStandIn() : state_(std::make_unique<State>())
{
    current = state_.get();
}

AppleStandIn::~AppleStandIn()
{
    current = nullptr;
}

std::string AppleStandIn::log(bool withReleases) const
{
    std::string calls;
    for (const auto& line : state_->log)
        if (withReleases || !line.starts_with("CFRelease("))
            calls += line + "; ";
    return calls;
}

std::string AppleStandIn::faults() const
{
    std::string faults;
    for (const auto& fault : state_->faults)
        faults += fault + "; ";
    for (const auto& object : state_->objects)
        if (object->life == Life::owned)
            faults += object->name + " is still alive; ";
    return faults;
}

void AppleStandIn::setTrusted(bool trusted)
{
    state_->trusted = trusted;
}

void AppleStandIn::failCalls(const std::string& function, std::initializer_list<int> calls)
{
    for (const int call : calls)
        state_->failing.emplace(function, call);
}

void AppleStandIn::setMainBundle(const std::optional<Info>& info)
{
    state_->bundle.reset();
    if (!info)
        return;
    state_->bundle = std::make_unique<__CFBundle>();
    state_->known[state_->bundle.get()] = state_->bundle.get();
    for (const auto& [key, value] : *info) {
        std::u16string key16(key.begin(), key.end());
        if (const auto* string = std::get_if<std::u16string>(&value))
            state_->bundle->info[key16] =
                state_->keep(std::make_unique<__CFString>(*string, Life::constant));
        else
            state_->bundle->info[key16] = state_->keep(std::make_unique<StandInObject>(
                numberType, "number " + std::to_string(std::get<double>(value)), Life::constant));
    }
}

} // namespace quenlark

using quenlark::AppleStandIn;

namespace {

AppleStandIn::State& state()
{
    if (!current) {
        std::fputs("an Apple function was called without an AppleStandIn\n", stderr);
        std::abort();
    }
    return *current;
}

const char* text(bool value)
{
    return value ? "true" : "false";
}

} // namespace

extern "C" {

CFTypeID CFGetTypeID(CFTypeRef cf)
{
    auto& s = state();
    const StandInObject* object = s.use(cf, 0, "CFGetTypeID");
    s.log.push_back("CFGetTypeID(" + s.name(object) + ")");
    return object ? object->type : 0;
}

void CFRelease(CFTypeRef cf)
{
    auto& s = state();
    StandInObject* object = cf ? s.find(cf) : nullptr;
    if (!object || object->life != Life::owned) {
        s.faults.push_back("CFRelease of " + (object ? object->name : std::string("unknown")) +
                           ", which is not the caller's to release");
        return;
    }
    object->life = Life::released;
    s.log.push_back("CFRelease(" + object->name + ")");
}

CFTypeID CFStringGetTypeID(void)
{
    state().log.push_back("CFStringGetTypeID()");
    return stringType;
}

CFIndex CFStringGetLength(CFStringRef theString)
{
    auto& s = state();
    const auto* string = static_cast<const __CFString*>(s.use(theString, stringType, __func__));
    s.log.push_back("CFStringGetLength(" + s.name(string) + ")");
    return string ? static_cast<CFIndex>(string->text.size()) : 0;
}

void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar* buffer)
{
    auto& s = state();
    const auto* string = static_cast<const __CFString*>(s.use(theString, stringType, __func__));
    s.log.push_back("CFStringGetCharacters(" + s.name(string) + ", " +
                    std::to_string(range.location) + ", " + std::to_string(range.length) + ")");
    const auto size = string ? static_cast<CFIndex>(string->text.size()) : 0;
    if (range.location < 0 || range.length < 0 || range.location + range.length > size) {
        s.faults.push_back("CFStringGetCharacters: the range exceeds the string");
        return;
    }
    for (CFIndex i = 0; i < range.length; ++i)
        buffer[i] = string->text[static_cast<std::size_t>(range.location + i)];
}

CFStringRef __CFStringMakeConstantString(const char* cStr)
{
    auto& string = constantStrings[cStr];
    if (!string)
        string = std::make_unique<__CFString>(std::u16string(cStr, cStr + std::strlen(cStr)),
                                              Life::constant);
    state().log.push_back(std::string("CFSTR(") + string->name + ")");
    return string.get();
}

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef allocator, const void** keys, const void** values,
                                   CFIndex numValues, const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks)
{
    auto& s = state();
    std::string entries;
    for (CFIndex i = 0; i < numValues; ++i)
        entries += (i == 0 ? "" : ", ") + s.name(s.use(keys[i], 0, __func__)) + ": " +
                   s.name(s.use(values[i], 0, __func__));
    __CFDictionary* dictionary =
        s.fails(__func__) ? nullptr : s.create<__CFDictionary>(dictionaryType, "d");
    if (dictionary)
        dictionary->entries = entries;
    s.log.push_back(
        std::string("CFDictionaryCreate(") + (allocator ? "allocator" : "NULL") + ", " +
        std::to_string(numValues) + ", " +
        (keyCallBacks == &kCFTypeDictionaryKeyCallBacks ? "kCFTypeDictionaryKeyCallBacks"
                                                        : "other key callbacks") +
        ", " +
        (valueCallBacks == &kCFTypeDictionaryValueCallBacks ? "kCFTypeDictionaryValueCallBacks"
                                                            : "other value callbacks") +
        ") = " + s.name(dictionary));
    return dictionary;
}

CFBundleRef CFBundleGetMainBundle(void)
{
    auto& s = state();
    s.log.push_back("CFBundleGetMainBundle() = " + s.name(s.bundle.get()));
    return s.bundle.get();
}

CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key)
{
    auto& s = state();
    auto* found = static_cast<__CFBundle*>(s.use(bundle, bundleType, __func__));
    const auto* name = static_cast<const __CFString*>(s.use(key, stringType, __func__));
    StandInObject* value = nullptr;
    if (found && name && found->info.contains(name->text))
        value = found->info[name->text];
    s.log.push_back("CFBundleGetValueForInfoDictionaryKey(" + s.name(found) + ", " + s.name(name) +
                    ") = " + s.name(value));
    return value;
}

CGEventSourceRef CGEventSourceCreate(CGEventSourceStateID stateID)
{
    auto& s = state();
    __CGEventSource* source =
        s.fails(__func__) ? nullptr : s.create<__CGEventSource>(eventSourceType, "s");
    s.log.push_back("CGEventSourceCreate(" + std::to_string(stateID) + ") = " + s.name(source));
    return source;
}

CGEventRef CGEventCreateKeyboardEvent(CGEventSourceRef source, CGKeyCode virtualKey, bool keyDown)
{
    auto& s = state();
    const StandInObject* from = s.use(source, eventSourceType, __func__);
    __CGEvent* event = s.fails(__func__) ? nullptr : s.create<__CGEvent>(eventType, "e");
    s.log.push_back("CGEventCreateKeyboardEvent(" + s.name(from) + ", " +
                    std::to_string(virtualKey) + ", " + text(keyDown) + ") = " + s.name(event));
    return event;
}

void CGEventPost(CGEventTapLocation tap, CGEventRef event)
{
    auto& s = state();
    const StandInObject* posted = s.use(event, eventType, __func__);
    s.log.push_back("CGEventPost(" + std::to_string(tap) + ", " + s.name(posted) + ")");
}

Boolean AXIsProcessTrusted(void)
{
    auto& s = state();
    s.log.push_back(std::string("AXIsProcessTrusted() = ") + text(s.trusted));
    return s.trusted;
}

Boolean AXIsProcessTrustedWithOptions(CFDictionaryRef options)
{
    auto& s = state();
    const auto* dictionary =
        static_cast<const __CFDictionary*>(s.use(options, dictionaryType, __func__));
    const std::string entries = dictionary ? " {" + dictionary->entries + "}" : "";
    s.log.push_back("AXIsProcessTrustedWithOptions(" + s.name(dictionary) + entries +
                    ") = " + text(s.trusted));
    return s.trusted;
}

} // extern "C"
