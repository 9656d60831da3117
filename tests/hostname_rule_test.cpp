#include "hostname_rule.h"

#include <gtest/gtest.h>

#include <string>

TEST(HostnameRule, AdmitsOneTo63LettersDigitsAndDashesButNoLeadingDash)
{
    const struct {
        std::string name;
        int valid;
    } cases[] = {
        {"a", 1},
        {std::string(63, 'a'), 1},
        {std::string(64, 'a'), 0},
        {"", 0},
        {"-abc", 0},
        {"--help", 0},
        {"abc-", 1},
        {"a--b", 1},
        {"0123", 1},
        {"7", 1},
        {"MixedCase", 1},
        {"a.b", 0},
        {"host.example.com", 0},
        {"a_b", 0},
        {"a b", 0},
        {"a'b", 0},
        {"a\"b", 0},
        {"a/b", 0},
        {"a;b", 0},
        {"a\nb", 0},
        {"caf\xc3\xa9", 0},
        {"\xff", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(is_valid_hostname(c.name.c_str()), c.valid) << '"' << c.name << '"';
}

TEST(HostnameRule, CharInSetComparesBytesWithoutFoldingCase)
{
    EXPECT_EQ(char_in_set('a', "abc"), 1);
    EXPECT_EQ(char_in_set('A', "abc"), 0);
    EXPECT_EQ(char_in_set('\0', "abc"), 0);
    EXPECT_EQ(char_in_set('-', hostname_first_chars), 0);
    EXPECT_EQ(char_in_set('-', hostname_rest_chars), 1);
}

TEST(HostnameRule, ReplacesOldNamesButNoneInsideLoopbackNamesOrStandardAddresses)
{
    const struct {
        std::string name;
        bool replaceable;
    } cases[] = {
        {"oldbox", true},
        {"db.1", true},
        {"-x", true},
        {"it's/a*[b]$\\^", true},
        {"caf\xc3\xa9", true},
        {"localhostx", true},
        {"127.0.0.10", true},
        {"", false},
        {"localhost", false},
        {"host", false},
        {"local", false},
        {"domain", false},
        {"ip6-loop", false},
        {"1", false},
        {"127", false},
        {"::", false},
        {"ff02", false},
        {"fe00::0", false},
        {"old\nbox", false},
        {"old\tbox", false},
        {"old\x7f", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(is_replaceable_name(c.name.c_str()), c.replaceable) << '"' << c.name << '"';
}
