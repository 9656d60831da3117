#include "diff_text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

const char pg_diff[] = "--- /etc/postgresql/15/main/postgresql.conf\n"
                       "+++ /etc/postgresql/15/main/postgresql.conf\n"
                       "@@ -418,7 +418,7 @@\n"
                       " #jit = on\n"
                       " \n"
                       " #jit_debugging_support = off\n"
                       "-#jit_provider = 'llvmjit'\t\t# JIT library to use\n"
                       "+#jit_provider = 'llnewboxjit'\t\t# JIT library to use\n"
                       " \n"
                       " #jit_inline_above_cost = 500000\n"
                       " #jit_optimize_above_cost = 500000\n";

const char hosts_diff[] = "--- /etc/hosts\n"
                          "+++ /etc/hosts\n"
                          "@@ -2 +2 @@\n"
                          "-127.0.1.1\tvm.example.com vm\n"
                          "+127.0.1.1\tnewbox.example.com newbox\n";

// One "path:line:word" line for each flagged line.
std::string flagged(const std::string &diff, const char *old_name)
{
    std::string text;
    for (const InWordLine &line : in_word_lines(diff, old_name))
        text += line.path + ":" + std::to_string(line.line) + ":" + line.word + "\n";
    return text;
}

std::string one_line_diff(const std::string &removed)
{
    return "--- /etc/x.conf\n+++ /etc/x.conf\n@@ -7 +7 @@\n" + removed + "+changed\n";
}

TEST(InWordLines, FlagsEachChangedLineWhereTheOldNameTouchesAWordCharacter)
{
    const struct {
        std::string diff;
        std::string old_name;
        std::string flagged;
    } cases[] = {
        {pg_diff, "vm", "/etc/postgresql/15/main/postgresql.conf:421:llvmjit\n"},
        {hosts_diff, "vm", ""},
        {one_line_diff("-url = http://oldbox.example.com/\n"), "oldbox", ""},
        {one_line_diff("-listen = oldbox:8080\n"), "oldbox", ""},
        {one_line_diff("-db = oldbox-db\n"), "oldbox", "/etc/x.conf:7:oldbox-db\n"},
        {one_line_diff("-user.x security.evm\n"), "vm", "/etc/x.conf:7:security.evm\n"},
        {one_line_diff("-vm llvmjit vm_a vm\n"), "vm", "/etc/x.conf:7:llvmjit\n"},
        {one_line_diff("-vm-1.lan,vm\n"), "vm", "/etc/x.conf:7:vm-1.lan\n"},
        {one_line_diff("-caf\xc3\xa9vm\xc3\xa9\n"), "vm", ""},
        {one_line_diff(std::string("-a\0vm_2\n", 8)), "vm", "/etc/x.conf:7:vm_2\n"},
        // sed's s///g takes x.x at 0 only, so the x.x before the _ is never replaced.
        {one_line_diff("-x.x.x_\n"), "x.x", ""},
        {one_line_diff("-llvmjit\n"), "", ""},
        {"--- /etc/a.conf\n+++ /etc/a.conf\n@@ -1,2 +1,2 @@\n"
         "--- vm_old\n-+++ x\n+-- newbox_old\n++++ x\n",
            "vm", "/etc/a.conf:1:vm_old\n"},
        {"--- /etc/a.conf\n+++ /etc/a.conf\n@@ -1 +1 @@\n-avm\n+anewbox\n"
         "@@ -40,2 +40,3 @@\n a\n-bvm\n+bnewbox\n+c\n",
            "vm", "/etc/a.conf:1:avm\n/etc/a.conf:41:bvm\n"},
        {"--- /etc/a.conf\n+++ /etc/a.conf\n@@ -3 +3 @@\n-avm\n\\ No newline at end of file\n"
         "+anewbox\n+\n--- /etc/b.conf\n+++ /etc/b.conf\n@@ -5 +5 @@\n-vmb\n+newboxb\n",
            "vm", "/etc/a.conf:3:avm\n/etc/b.conf:5:vmb\n"},
        {"--- \"/srv/my app/vm\\n.conf\"\n+++ \"/srv/my app/vm\\n.conf\"\n@@ -1 +1 "
         "@@\n-xvm\n+xnewbox\n",
            "vm", "\"/srv/my app/vm\\n.conf\":1:xvm\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(flagged(c.diff, c.old_name.c_str()), c.flagged) << c.diff;
}

TEST(DiffTotals, CountsFilesShownAndLinesAdded)
{
    const struct {
        std::string diff;
        long files;
        long lines;
    } cases[] = {
        {"", 0, 0},
        {pg_diff, 1, 1},
        {std::string(pg_diff) + hosts_diff, 2, 2},
        {"--- /etc/a\n+++ /etc/a\n@@ -0,0 +1,2 @@\n+++ x\n+--- y\n", 1, 2},
        {"--- /etc/a\n+++ /etc/a\n@@ -1,2 +1 @@\n--- x\n-+++ y\n++++ z\n", 1, 1},
        {"--- /etc/a\n+++ /etc/a\n@@ -1 +1,2 @@\n-a\n\\ No newline at end of file\n+b\n+c\n"
         "\\ No newline at end of file\n",
            1, 2},
        {std::string("File /etc/hosts is a symbolic link while file /etc/hosts is a regular file\n")
                + hosts_diff,
            1, 1},
        {std::string("File /etc/x is a symbolic link while file /etc/x is a regular file\n")
                + hosts_diff,
            2, 1},
    };
    for (const auto &c : cases) {
        DiffTotals totals = diff_totals(c.diff);
        EXPECT_EQ(totals.files, c.files) << c.diff;
        EXPECT_EQ(totals.lines, c.lines) << c.diff;
    }
}

TEST(SummaryMessage, SaysFileLineAndWordInTheSingularForOneAndWhenTheRenameWouldStop)
{
    const struct {
        DiffTotals totals;
        size_t in_word;
        bool stopped;
        std::string text;
    } cases[] = {
        {{0, 0}, 0, false, "varnex-preview: 0 files would change, 0 lines.\n"},
        {{1, 1}, 0, false, "varnex-preview: 1 file would change, 1 line.\n"},
        {{2, 1}, 1, false,
            "varnex-preview: 2 files would change, 1 line; 1 inside a longer word.\n"},
        {{5, 6}, 2, false,
            "varnex-preview: 5 files would change, 6 lines; 2 inside longer words.\n"},
        {{0, 0}, 0, true,
            "varnex-preview: the rename would stop with status 1; up to there, 0 files would "
            "change, 0 lines.\n"},
        {{1, 1}, 1, true,
            "varnex-preview: the rename would stop with status 1; up to there, 1 file would "
            "change, 1 line; 1 inside a longer word.\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(summary_message(c.totals, c.in_word, c.stopped), c.text);
}

TEST(ClosingText, FlagsLinesInYellowOnlyWhereAskedThenSums)
{
    const std::string link = "File /etc/x is a symbolic link while file /etc/x is a regular file\n";
    const struct {
        std::string diff;
        std::string old_name;
        bool colour;
        bool stopped;
        std::string text;
    } cases[] = {
        {hosts_diff, "vm", false, false, "varnex-preview: 1 file would change, 1 line.\n"},
        {std::string(pg_diff) + hosts_diff, "vm", false, false,
            "varnex-preview: /etc/postgresql/15/main/postgresql.conf:421: 'llvmjit' holds "
            "the old name inside a longer word\n"
            "varnex-preview: 2 files would change, 2 lines; 1 inside a longer word.\n"},
        {link
                + "--- /etc/x.conf\n+++ /etc/x.conf\n@@ -6,2 +6,2 @@\n a\n-avm\n"
                  "\\ No newline at end of file\n+changed\n",
            "vm", true, true,
            "\033[33mvarnex-preview: /etc/x.conf:7: 'avm' holds the old name inside a longer "
            "word\033[m\n"
            "varnex-preview: the rename would stop with status 1; up to there, 2 files would "
            "change, 1 line; 1 inside a longer word.\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(closing_text(c.diff, c.old_name.c_str(), c.colour, c.stopped), c.text);
}

TEST(ColouredDiff, PaintsHeadersHunksAndChangedLinesAsGitDoes)
{
    EXPECT_EQ(coloured_diff("File /etc/x is a symbolic link while file /etc/x is a regular file\n"
                            "--- /etc/x.conf\n+++ /etc/x.conf\n@@ -6,2 +6,2 @@\n a\n-avm\n"
                            "\\ No newline at end of file\n+changed\n"),
        "\033[1mFile /etc/x is a symbolic link while file /etc/x is a regular file\033[m\n"
        "\033[1m--- /etc/x.conf\033[m\n\033[1m+++ /etc/x.conf\033[m\n"
        "\033[36m@@ -6,2 +6,2 @@\033[m\n a\n\033[31m-avm\033[m\n\\ No newline at end of file\n"
        "\033[32m+changed\033[m\n");
}

TEST(ColourWanted, OnlyOnATerminalWithoutNoColor)
{
    int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const struct {
        const char *no_color;
        int fd;
        bool wanted;
    } cases[] = {
        {nullptr, terminal, true},
        {"", terminal, true},
        {"1", terminal, false},
        {nullptr, pipe_ends[1], false},
    };
    for (const auto &c : cases) {
        if (c.no_color == nullptr)
            unsetenv("NO_COLOR");
        else
            setenv("NO_COLOR", c.no_color, 1);
        EXPECT_EQ(colour_wanted(c.fd), c.wanted) << c.fd << " " << (c.no_color ? c.no_color : "-");
    }
    unsetenv("NO_COLOR");
    close(terminal);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
}

} // namespace
