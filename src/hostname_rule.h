#ifndef VARNEX_HOSTNAME_RULE_H
#define VARNEX_HOSTNAME_RULE_H

inline constexpr char hostname_first_chars[]
    = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
inline constexpr char hostname_rest_chars[]
    = "-abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

// 1 if c is one of the characters of set, else 0. NUL is in no set.
int char_in_set(char c, const char *set);

// 1 if name is 1 to 63 characters, the first a letter or digit and the rest
// letters, digits or dashes, else 0. This is the only guard on a name that
// goes into shell commands and sed expressions.
int is_valid_hostname(const char *name);

// Whether an old name may be replaced in /etc/hosts and conf files: not
// empty, no control character, and inside no loopback name or standard
// address of the usual /etc/hosts files.
bool is_replaceable_name(const char *name);

#endif
