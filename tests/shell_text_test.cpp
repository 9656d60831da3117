#include "shell_text.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
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

// Lines of output that start with a line number, as grep -n prints them, by
// the case that the line belongs to; each case has lines_per_case lines.
std::vector<std::string> by_case(const std::string &output, size_t cases, bool numbered)
{
    const size_t lines_per_case = 5;
    std::vector<std::string> grouped(cases);
    std::istringstream in(output);
    size_t number = 0;
    for (std::string line; std::getline(in, line);) {
        number = numbered ? std::stoul(line) : number + 1;
        grouped.at((number - 1) / lines_per_case) += line + "\n";
    }
    return grouped;
}

// grep and sed, handed the escaped names inside single quotes as varnex hands
// them, must find exactly what a fixed-string search finds. One grep takes
// every name at once: -o shows which name each match is, so that a pattern
// that goes wrong cannot hide behind another's matches. varnex hands grep the
// pattern as its first argument, where a leading dash would be read as an
// option, so names that start with one are also grepped so, one at a time.
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
        std::string lines, grep = "grep -a -n -o", fixed = "grep -a -n -o -F", sed = "sed", dashed;
        for (size_t i = 0; i < 1000; i++) {
            std::string name;
            while (name.empty())
                name = random_text(random, 10, control);
            std::string mutated = name;
            mutated[random() % name.size()] = random() % 2 ? 'a' : '.';
            lines += name + "\nx" + name + "y" + name + "\n" + mutated + "\n" + name.substr(1)
                + "\n" + random_text(random, 20, control + "\n") + "\n";
            names.push_back(name);
            grep += " -e '" + escape_single_quotes(literal_pattern(name.c_str(), '\0')) + "'";
            fixed += " -e '" + escape_single_quotes(name) + "'";
            sed += " -e '" + std::to_string(5 * i + 1) + "," + std::to_string(5 * i + 5) + "s/"
                + escape_single_quotes(literal_pattern(name.c_str(), '/')) + "/NEW/g'";
            if (name[0] == '-')
                dashed += "grep -a -c '" + escape_single_quotes(literal_pattern(name.c_str(), '\0'))
                    + "' lines >>dashed\ngrep -a -c -F -e '" + escape_single_quotes(name)
                    + "' lines >>dashed.fixed\n";
        }
        write_file(dir.path() + "/lines", lines);
        write_file(dir.path() + "/script",
            "cd '" + dir.path() + "' || exit 1\n" + grep + " lines >grep\n" + fixed
                + " lines >fixed\n" + sed + " lines >sed\n" + dashed);
        ProcessResult result = run_process(
            {"env", std::string("LC_ALL=") + locale, "/bin/sh", dir.path() + "/script"});
        ASSERT_EQ(result.err, "") << locale;
        EXPECT_EQ(read_file(dir.path() + "/dashed"), read_file(dir.path() + "/dashed.fixed"))
            << locale;
        const auto grep_found = by_case(read_file(dir.path() + "/grep"), names.size(), true);
        const auto fixed_found = by_case(read_file(dir.path() + "/fixed"), names.size(), true);
        const auto sed_out = by_case(read_file(dir.path() + "/sed"), names.size(), false);
        const auto original = by_case(lines, names.size(), false);
        for (size_t i = 0; i < names.size(); i++) {
            SCOPED_TRACE(std::string(locale) + " name: " + names[i]);
            EXPECT_EQ(grep_found[i], fixed_found[i]);
            EXPECT_EQ(sed_out[i], replace_all(original[i], names[i], "NEW"));
        }
    }
}

} // namespace
