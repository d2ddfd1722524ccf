// SPDX-License-Identifier: MIT
// The end-to-end benchmark's bare D-Bus client: it hears the scripted BlueZ's notifications as
// the program does, but does nothing with them, so that its receive time is the stand-in's and the
// bus's share of a press alone. It blocks in libdbus and reads the clock as soon as the read
// returns, before any parsing.
//
//   quenlark_bench_notification_probe      (with DBUS_SYSTEM_BUS_ADDRESS set)
//
// Prints "ready" once its match rule is in force, then one line per characteristic value:
// "value <hex bytes> <CLOCK_MONOTONIC ns when read>". Ends when the bus goes.

#include <dbus/dbus.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace {

const char* const characteristicInterface = "org.bluez.GattCharacteristic1";

std::int64_t monotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// The "Value" of a PropertiesChanged(s interface, a{sv} changed, as invalidated) as hex, or an
// empty string when the signal carries none.
std::string changedValue(DBusMessage* message)
{
    DBusMessageIter arguments;
    if (!dbus_message_iter_init(message, &arguments) ||
        dbus_message_iter_get_arg_type(&arguments) != DBUS_TYPE_STRING)
        return {};
    const char* interface = nullptr;
    dbus_message_iter_get_basic(&arguments, &interface);
    if (std::string(interface) != characteristicInterface || !dbus_message_iter_next(&arguments) ||
        dbus_message_iter_get_arg_type(&arguments) != DBUS_TYPE_ARRAY)
        return {};
    DBusMessageIter changes;
    for (dbus_message_iter_recurse(&arguments, &changes);
         dbus_message_iter_get_arg_type(&changes) == DBUS_TYPE_DICT_ENTRY;
         dbus_message_iter_next(&changes)) {
        DBusMessageIter entry;
        dbus_message_iter_recurse(&changes, &entry);
        const char* name = nullptr;
        dbus_message_iter_get_basic(&entry, &name);
        if (std::string(name) != "Value" || !dbus_message_iter_next(&entry))
            continue;
        DBusMessageIter variant;
        DBusMessageIter bytes;
        dbus_message_iter_recurse(&entry, &variant);
        if (dbus_message_iter_get_arg_type(&variant) != DBUS_TYPE_ARRAY ||
            dbus_message_iter_get_element_type(&variant) != DBUS_TYPE_BYTE)
            return {};
        dbus_message_iter_recurse(&variant, &bytes);
        const unsigned char* data = nullptr;
        int length = 0;
        dbus_message_iter_get_fixed_array(&bytes, &data, &length);
        std::string hex;
        for (int i = 0; i < length; ++i) {
            char digits[3];
            std::snprintf(digits, sizeof digits, "%02x", data[i]);
            hex += digits;
        }
        return hex.empty() ? std::string("-") : hex;
    }
    return {};
}

} // namespace

int main()
{
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* bus = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (!bus) {
        std::fprintf(stderr, "notification probe: %s\n", error.message);
        return 1;
    }
    dbus_connection_set_exit_on_disconnect(bus, FALSE);
    // Blocks until the bus has the rule, so nothing sent after "ready" is missed.
    dbus_bus_add_match(bus,
                       "type='signal',sender='org.bluez',"
                       "interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
                       "arg0='org.bluez.GattCharacteristic1'",
                       &error);
    if (dbus_error_is_set(&error)) {
        std::fprintf(stderr, "notification probe: %s\n", error.message);
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    while (dbus_connection_read_write(bus, -1)) {
        const std::int64_t received = monotonicNanoseconds();
        while (DBusMessage* message = dbus_connection_pop_message(bus)) {
            if (dbus_message_is_signal(message, "org.freedesktop.DBus.Properties",
                                       "PropertiesChanged")) {
                const std::string value = changedValue(message);
                if (!value.empty())
                    std::printf("value %s %lld\n", value.c_str(), static_cast<long long>(received));
            }
            dbus_message_unref(message);
        }
        std::fflush(stdout);
    }
    dbus_connection_close(bus);
    dbus_connection_unref(bus);
    return 0;
}
