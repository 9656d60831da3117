#include "hostname_rule.h"

#include <cstring>

namespace {

// The loopback names of the usual /etc/hosts files. An old name inside any
// of them (a machine called "host" or "local") would be replaced inside them
// too, and then nothing on the machine resolves localhost.
const char *const loopback_names[]
    = {"localhost", "localhost.localdomain", "localhost4", "localhost4.localdomain4", "localhost6",
        "localhost6.localdomain6", "ip6-localhost", "ip6-loopback"};

// The loopback and multicast addresses of the usual /etc/hosts files. A
// machine called "1" would otherwise turn 127.0.0.1 into web727.0.0.web7.
const char *const standard_addresses[]
    = {"127.0.0.1", "127.0.1.1", "::1", "fe00::0", "ff00::0", "ff02::1", "ff02::2", "ff02::3"};

} // namespace

int char_in_set(char c, const char *set)
{
    size_t length = strlen(set);
    for (size_t i = 0; i < length; i++)
        if (set[i] == c)
            return 1;
    return 0;
}

int is_valid_hostname(const char *name)
{
    if (name[0] == '\0')
        return 0;
    if (strlen(name) > 63)
        return 0;
    if (char_in_set(name[0], hostname_first_chars) != 1)
        return 0;
    for (const char *p = name + 1; *p != '\0'; p++)
        if (char_in_set(*p, hostname_rest_chars) != 1)
            return 0;
    return 1;
}

// Some old names must be left where they stand. An empty one matches every
// line; one inside a loopback name or a standard address would cut it out of
// /etc/hosts and out of every conf file; a control character (a newline above
// all) cannot be matched by a one-line pattern.
bool is_replaceable_name(const char *name)
{
    if (name[0] == '\0')
        return false;
    for (const char *loopback : loopback_names)
        if (strstr(loopback, name) != nullptr)
            return false;
    for (const char *address : standard_addresses)
        if (strstr(address, name) != nullptr)
            return false;
    for (const char *p = name; *p != '\0'; p++) {
        auto byte = static_cast<unsigned char>(*p);
        if (byte < 0x20 || byte == 0x7f)
            return false;
    }
    return true;
}
