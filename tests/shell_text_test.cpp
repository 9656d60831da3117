#include "shell_text.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

TEST(LiteralPattern, EscapesWhatBasicRegexAndSedsDelimiterReadSpecially)
{
    const struct {
        std::string name;
        char delimiter;
        std::string pattern;
    } cases[] = {
        {"oldbox", '\0', "oldbox"},
        {"old-box-", '/', "old-box-"},
        {"db.1", '\0', "db\\.1"},
        {"a/b", '\0', "a/b"},
        {"a/b", '/', "a\\/b"},
        {"-x-", '\0', "[-]x-"},
        {"\\.*[^$", '\0', "\\\\\\.\\*\\[\\^\\$"},
        {"a]b{1}(c)+?|&'", '\0', "a]b{1}(c)+?|&'"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(literal_pattern(c.name.c_str(), c.delimiter), c.pattern) << c.name;
}

TEST(FindStartWord, KeepsOrdinaryPathsAndQuotesOrPrefixesTheRest)
{
    const struct {
        std::string dir;
        std::string word;
    } cases[] = {
        {"/srv/app", "/srv/app"},
        {"relative/dir", "relative/dir"},
        {".", "."},
        {"_x", "_x"},
        {"/a@%+=:,._-b", "/a@%+=:,._-b"},
        {"-delete", "./-delete"},
        {"!", "'./!'"},
        {"(", "'./('"},
        {"~root", "'./~root'"},
        {"", "''"},
        {"/with space", "'/with space'"},
        {"/it's", "'/it'\\''s'"},
        {"/a;rm -rf b", "'/a;rm -rf b'"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(find_start_word(c.dir.c_str()), c.word) << c.dir;
}

std::string random_text(std::mt19937 &random, size_t max_length, const std::string &excluded)
{
    // Half the bytes from those that shells and regular expressions treat
    // specially, so that the odd cases come up often.
    const std::string special = "\\.*[]^$/-'\"&|(){}+?!;` ~#%@=:,_\xc3\xa9\xff";
    std::string text;
    size_t length = std::uniform_int_distribution<size_t>(0, max_length)(random);
    while (text.size() < length) {
        char c = random() % 2 ? special[random() % special.size()]
                              : static_cast<char>(1 + random() % 255);
        if (excluded.find(c) == std::string::npos)
            text += c;
    }
    return text;
}

std::vector<std::string> split_at_nul(const std::string &text)
{
    std::vector<std::string> parts;
    for (size_t start = 0, end; (end = text.find('\0', start)) != std::string::npos;
         start = end + 1)
        parts.push_back(text.substr(start, end - start));
    return parts;
}

TEST(ShellQuotingProperty, RoundTripsThroughTheShell)
{
    std::mt19937 random(20261208);
    for (int chunk = 0; chunk < 6; chunk++) {
        std::vector<std::string> texts;
        std::string script;
        for (int i = 0; i < 500; i++) {
            texts.push_back(random_text(random, 24, ""));
            script += "printf '%s\\0' '" + escape_single_quotes(texts.back()) + "' "
                + find_start_word(texts.back().c_str()) + "\n";
        }
        ProcessResult result = run_process({"/bin/sh", "-c", script});
        ASSERT_EQ(result.status, 0) << result.err;
        std::vector<std::string> words = split_at_nul(result.out);
        ASSERT_EQ(words.size(), 2 * texts.size());
        for (size_t i = 0; i < texts.size(); i++) {
            const std::string &text = texts[i];
            const std::string &dir = words[2 * i + 1];
            EXPECT_EQ(words[2 * i], text);
            EXPECT_TRUE(dir == text || dir == "./" + text) << text;
            EXPECT_TRUE(dir.empty() || (dir[0] != '-' && dir[0] != '!' && dir[0] != '(')) << text;
        }
    }
}

// grep and sed, handed the escaped name inside single quotes as varnex hands
// it, must find exactly what a fixed-string search finds.
TEST(LiteralPatternProperty, MatchesInGrepAndSedExactlyWhatFixedStringsMatch)
{
    std::string control;
    for (char c = 1; c < 0x20; c++)
        control += c;
    control += '\x7f';
    std::mt19937 random(8122026);
    for (const char *locale : {"C", "C.UTF-8"}) {
        ScratchDir dir;
        std::vector<std::string> names;
        std::string script = "cd '" + dir.path() + "' || exit 1\n";
        for (int i = 0; i < 1000; i++) {
            std::string name;
            while (name.empty())
                name = random_text(random, 10, control);
            std::string mutated = name;
            mutated[random() % name.size()] = random() % 2 ? 'a' : '.';
            std::string lines = name + "\nx" + name + "y" + name + "\n" + mutated + "\n"
                + name.substr(1) + "\n" + random_text(random, 20, control + "\n") + "\n";
            std::string n = std::to_string(i);
            write_file(dir.path() + "/" + n, lines);
            names.push_back(name);
            script += "grep -a '" + escape_single_quotes(literal_pattern(name.c_str(), '\0')) + "' "
                + n + " >" + n + ".grep\n" + "grep -a -F -e '" + escape_single_quotes(name) + "' "
                + n + " >" + n + ".fixed\n" + "sed 's/"
                + escape_single_quotes(literal_pattern(name.c_str(), '/')) + "/NEW/g' " + n + " >"
                + n + ".sed\n";
        }
        write_file(dir.path() + "/script", script);
        ProcessResult result = run_process(
            {"env", std::string("LC_ALL=") + locale, "/bin/sh", dir.path() + "/script"});
        ASSERT_EQ(result.err, "") << locale;
        for (size_t i = 0; i < names.size(); i++) {
            std::string path = dir.path() + "/" + std::to_string(i);
            SCOPED_TRACE(std::string(locale) + " name: " + names[i]);
            EXPECT_EQ(read_file(path + ".grep"), read_file(path + ".fixed"));
            EXPECT_EQ(read_file(path + ".sed"), replace_all(read_file(path), names[i], "NEW"));
        }
    }
}

} // namespace
