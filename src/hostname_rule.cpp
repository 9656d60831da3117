#include "hostname_rule.h"

#include <cstring>

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
