// The whole rename, run for real: the real binary, sethostname and shell
// tools, inside throwaway namespaces over a scratch /etc.
#include <unistd.h>

#include <csignal>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "throwaway.h"

namespace fs = std::filesystem;

namespace {

const std::map<std::string, std::string> standard_tree = {
    {"etc/hostname", "oldbox\n"},
    {"etc/hosts", "127.0.0.1 localhost\n127.0.1.1 oldbox oldbox.lan\n10.0.0.9 oldboxes\n"},
    // An unquoted *conf would expand to this name and find nothing else.
    {"cwd/x.conf", "oldbox\n"},
    {"srv/app/app.conf", "host=oldbox\n"},
    {"srv/app/sub/deep/db.conf", "oldbox-db on oldbox\n"},
    {"srv/app/plainconf", "oldbox\n"},
    {"srv/app/notes.txt", "oldbox\n"},
    {"srv/two/two.conf", "oldbox\n"},
};

const std::map<std::string, std::string> app_renamed = {
    {"srv/app/app.conf", "host=newbox\n"},
    {"srv/app/sub/deep/db.conf", "newbox-db on newbox\n"},
    {"srv/app/plainconf", "newbox\n"},
};

// Entries as snapshot() shows them: "<dir>", "-> target", or file content.
void make_tree(const std::string &root, const std::map<std::string, std::string> &tree)
{
    for (const auto &[path, content] : tree) {
        std::string full = root + "/" + path;
        fs::create_directories(fs::path(full).parent_path());
        fs::remove(full);
        if (content == "<dir>")
            fs::create_directories(full);
        else if (content.rfind("-> ", 0) == 0)
            fs::create_symlink(content.substr(3), full);
        else
            write_file(full, content);
    }
}

// What the shell tools say is theirs; the rest of stderr is varnex's own.
std::string own_lines(const std::string &err)
{
    std::istringstream in(err);
    std::string kept;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("find: ", 0) != 0 && line.rfind("grep: ", 0) != 0
            && line.rfind("sed: ", 0) != 0 && line.rfind("xargs: ", 0) != 0
            && line.rfind("sh: ", 0) != 0 && line != "Killed")
            kept += line + "\n";
    return kept;
}

std::string names(const std::string &new_name, const std::string &old_name)
{
    return "new_hostname is " + new_name + ".\nold_hostname is " + old_name + ".\n";
}
std::string running(const std::string &command)
{
    return "Running '" + command + "'\n";
}
std::string failed(const std::string &command, int status)
{
    return "system(" + command + ") failed with " + std::to_string(status) + ".\n";
}
std::string echo_command(const std::string &n)
{
    return "echo '" + n + "' > /etc/hostname";
}
std::string grep_command(const std::string &pattern)
{
    return "grep '" + pattern + "' /etc/hosts";
}
std::string sed_command(const std::string &pattern, const std::string &n = "newbox")
{
    return "sed -i 's/" + pattern + "/" + n + "/g' /etc/hosts";
}
std::string find_command(
    const std::string &word, const std::string &pattern = "oldbox", const std::string &fixed = "")
{
    return "find -H " + word + " -name '*conf' -type f -exec grep -D skip -lZF -e '"
        + (fixed.empty() ? pattern : fixed)
        + "' -- {} + | xargs -0 sh -c 'e=$1; shift; [ $# != 0 ] || exec sed -i \"$e\"; s=0; for f "
          "in \"$@\"; do sed -i \"$e\" \"$f\" || s=1; done; exit $s' sh 's/"
        + pattern + "/newbox/g' ";
}
// The transcript up to the directories, for oldbox to newbox.
const std::string renamed = names("newbox", "oldbox") + running(echo_command("newbox"))
    + running(grep_command("oldbox")) + running(sed_command("oldbox"));
const std::string grep_found = "127.0.1.1 oldbox oldbox.lan\n10.0.0.9 oldboxes\n";
const std::string hosts_renamed
    = "127.0.0.1 localhost\n127.0.1.1 newbox newbox.lan\n10.0.0.9 newboxes\n";
const int no_files = 123 * 256; // xargs, when sed was given nothing to edit, or failed

// 2,000 files holding the old name outside the tree keep the directory step
// busy for seconds; varnex, in a process group of its own, gets a SIGINT
// there once it has announced that step.
const std::string interrupt_setup = R"(
mkdir "$root/../big" && for i in $(seq 2000); do echo oldbox >"$root/../big/$i.conf"; done
run_varnex() {
    set -m
    "$varnex" "$@" 2>"$root/../err" &
    for _ in $(seq 1000); do grep -q "^Running 'find -H $root/../big" "$root/../err" && break; sleep 0.01; done
    kill -INT -- -$!
    wait $! 2>/dev/null
    local status=$?
    cat "$root/../err" >&2
    return $status
}
)";

// One run and what it must leave behind. Unless a row says otherwise, the
// machine is called oldbox, and the run ends with status 0, the kernel name
// newbox, nothing on standard output and no entry of the tree changed.
struct RenameCase {
    std::string what;
    std::string old_name = "oldbox";
    std::vector<std::string> args; // {root} stands for the scratch tree
    std::map<std::string, std::string> extra; // tree entries added before the run
    std::string setup;
    bool as_nobody = false;
    std::string err; // varnex's own lines
    std::string out;
    int status = 0;
    std::string kernel = "newbox";
    std::map<std::string, std::string> changed; // tree entries that differ afterwards

    explicit RenameCase(std::string description)
        : what(std::move(description))
    {
    }
    RenameCase &from(std::string name)
    {
        old_name = std::move(name);
        return *this;
    }
    RenameCase &run(std::vector<std::string> arguments)
    {
        args = std::move(arguments);
        return *this;
    }
    RenameCase &given(std::map<std::string, std::string> entries)
    {
        extra = std::move(entries);
        return *this;
    }
    RenameCase &after(std::string shell_text)
    {
        setup = std::move(shell_text);
        return *this;
    }
    RenameCase &as_user_nobody()
    {
        as_nobody = true;
        return *this;
    }
    RenameCase &says(std::string lines)
    {
        err = std::move(lines);
        return *this;
    }
    RenameCase &prints(std::string text)
    {
        out = std::move(text);
        return *this;
    }
    RenameCase &exits(int code)
    {
        status = code;
        return *this;
    }
    RenameCase &kernel_after(std::string name)
    {
        kernel = std::move(name);
        return *this;
    }
    RenameCase &changes(std::map<std::string, std::string> entries)
    {
        changed = std::move(entries);
        return *this;
    }
};

void check(const RenameCase &c)
{
    SCOPED_TRACE(c.what);
    ScratchDir base;
    std::string root = base.path() + "/t";
    make_tree(root, standard_tree);
    make_tree(root, c.extra);
    std::map<std::string, std::string> expected = snapshot(root);
    for (const auto &[path, content] : c.changed)
        expected[path] = content;
    std::vector<std::string> args;
    for (const std::string &arg : c.args)
        args.push_back(replace_all(arg, "{root}", root));

    SandboxRun run = run_in_sandbox(base.path(), c.old_name, args, c.setup, c.as_nobody);

    EXPECT_EQ(own_lines(run.result.err), replace_all(c.err, "{root}", root)) << "whole stderr:\n"
                                                                             << run.result.err;
    EXPECT_EQ(run.result.out, c.out);
    EXPECT_EQ(run.result.status, c.status);
    EXPECT_EQ(run.kernel_name, c.kernel);
    EXPECT_EQ(snapshot(root), expected);
}

class Rename : public testing::Test {
  protected:
    void SetUp() override
    {
        if (!sandbox_unavailable_reason().empty())
            GTEST_SKIP() << sandbox_unavailable_reason();
    }
};

TEST_F(Rename, FollowsTheSequenceAndStopsOrWarnsAsEachStepDecides)
{
    const std::map<std::string, std::string> renamed_files
        = {{"etc/hostname", "newbox\n"}, {"etc/hosts", hosts_renamed}};
    auto with_app = renamed_files;
    with_app.insert(app_renamed.begin(), app_renamed.end());
    auto with_both = with_app;
    with_both["srv/two/two.conf"] = "newbox\n";
    const auto overlap = [](const std::string &first, const std::string &second) {
        return names("newbox", "oldbox") + "directories '" + first + "' and '" + second
            + "' overlap: a file in both would be renamed twice.\n\n";
    };

    const RenameCase cases[] = {
        RenameCase("typical run")
            .run({"newbox", "{root}/srv/app"})
            .says(renamed + running(find_command("{root}/srv/app")))
            .prints(grep_found)
            .changes(with_app),
        RenameCase("no directories")
            .run({"newbox"})
            .says(renamed)
            .prints(grep_found)
            .changes(renamed_files),
        RenameCase("same name")
            .run({"oldbox", "{root}/srv/app"})
            .says(names("oldbox", "oldbox") + expected_usage)
            .exits(1)
            .kernel_after("oldbox"),
        RenameCase("name differing only in case")
            .from("OldBox")
            .given({{"etc/hosts", "127.0.1.1 OldBox\n"}})
            .run({"oldbox"})
            .says(names("oldbox", "OldBox") + running(echo_command("oldbox"))
                + running(grep_command("OldBox")) + running(sed_command("OldBox", "oldbox")))
            .prints("127.0.1.1 OldBox\n")
            .kernel_after("oldbox")
            .changes({{"etc/hostname", "oldbox\n"}, {"etc/hosts", "127.0.1.1 oldbox\n"}}),
        RenameCase("old name not in /etc/hosts")
            .given({{"etc/hosts", "127.0.0.1 localhost\n"}})
            .run({"newbox", "{root}/srv/two"})
            .says(names("newbox", "oldbox") + running(echo_command("newbox"))
                + running(grep_command("oldbox"))
                + "existing hostname 'oldbox' not found in /etc/hosts, 256.\n"
                + running(find_command("{root}/srv/two")))
            .changes({{"etc/hostname", "newbox\n"}, {"srv/two/two.conf", "newbox\n"}}),
        RenameCase("several directories, one failing, in order")
            .run({"newbox", "{root}/srv/two", "{root}/missing", "{root}/srv/app"})
            .says(renamed + running(find_command("{root}/srv/two"))
                + running(find_command("{root}/missing"))
                + failed(find_command("{root}/missing"), no_files)
                + running(find_command("{root}/srv/app")))
            .prints(grep_found)
            .changes(with_both),
        RenameCase("the same directory twice")
            .run({"newbox", "{root}/srv/app", "{root}/srv/two", "{root}/srv/app"})
            .says(overlap("{root}/srv/app", "{root}/srv/app"))
            .exits(1)
            .kernel_after("oldbox"),
        RenameCase("a directory and itself with a trailing slash")
            .run({"newbox", "{root}/srv", "{root}/srv/"})
            .says(overlap("{root}/srv", "{root}/srv/"))
            .exits(1)
            .kernel_after("oldbox"),
        RenameCase("a link and its target")
            .given({{"srv/link", "-> app"}})
            .run({"newbox", "{root}/srv/link", "{root}/srv/app"})
            .says(overlap("{root}/srv/link", "{root}/srv/app"))
            .exits(1)
            .kernel_after("oldbox"),
        RenameCase("a directory inside an earlier one")
            .run({"newbox", "{root}/srv", "{root}/srv/app/sub"})
            .says(overlap("{root}/srv", "{root}/srv/app/sub"))
            .exits(1)
            .kernel_after("oldbox"),
        RenameCase("a directory inside a later one, past a file that only begins like it")
            .given({{"srv/app/subway.conf", "oldbox\n"}})
            .run({"newbox", "{root}/srv/app/sub", "{root}/srv/app/subway.conf", "{root}/srv/app"})
            .says(overlap("{root}/srv/app/sub", "{root}/srv/app"))
            .exits(1)
            .kernel_after("oldbox"),
        RenameCase("one directory bound at a second place")
            .given({{"srv/bound", "<dir>"}})
            .after("mount --bind \"$root/srv/app\" \"$root/srv/bound\"")
            .run({"newbox", "{root}/srv/app", "{root}/srv/bound"})
            .says(overlap("{root}/srv/app", "{root}/srv/bound"))
            .exits(1)
            .kernel_after("oldbox"),
        RenameCase("a directory bound inside a later one")
            .given({{"srv/app/sub/in", "<dir>"}})
            .after("mount --bind \"$root/srv/two\" \"$root/srv/app/sub/in\"")
            .run({"newbox", "{root}/srv/two", "{root}/srv/app"})
            .says(overlap("{root}/srv/two", "{root}/srv/app"))
            .exits(1)
            .kernel_after("oldbox"),
        RenameCase("a directory with a blank bound inside an earlier one")
            .given({{"srv/app/sub/in", "<dir>"}, {"srv/t w o/x.conf", "oldbox\n"}})
            .after("mount --bind \"$root/srv/t w o\" \"$root/srv/app/sub/in\"")
            .run({"newbox", "{root}/srv/app", "{root}/srv/t w o"})
            .says(overlap("{root}/srv/app", "{root}/srv/t w o"))
            .exits(1)
            .kernel_after("oldbox"),
        RenameCase("an argument that exists but cannot be resolved")
            .after("mkdir \"$root/../gone\" && mount -t tmpfs gone \"$root/../gone\" && mkdir "
                   "\"$root/../gone/sub\" && cd \"$root/../gone\" && umount -l \"$root/../gone\"")
            .run({"newbox", ".", "sub"})
            .says(names("newbox", "oldbox")
                + "'.' exists but cannot be resolved: No such file or directory.\n\n")
            .exits(1)
            .kernel_after("oldbox"),
        RenameCase("/etc/hostname not writable")
            .given({{"etc/hostname", "<dir>"}})
            .run({"newbox", "{root}/srv/app"})
            .says(names("newbox", "oldbox") + running(echo_command("newbox"))
                + "echo 'newbox' > /etc/hostname failed with 512.\n\n")
            .exits(1),
        RenameCase("/etc/hosts not replaceable")
            .after("mount --bind /etc/hosts /etc/hosts")
            .run({"newbox", "{root}/srv/app"})
            .says(renamed + failed(sed_command("oldbox"), 4 * 256) + "\n")
            .prints(grep_found)
            .exits(1)
            .changes({{"etc/hostname", "newbox\n"}}),
        RenameCase("/etc/hosts missing")
            .given({{"etc/hosts", "-> missing"}})
            .run({"newbox", "{root}/srv/app"})
            .says(names("newbox", "oldbox") + running(echo_command("newbox"))
                + running(grep_command("oldbox"))
                + "existing hostname 'oldbox' not found in /etc/hosts, 512.\n"
                + running(find_command("{root}/srv/app")))
            .changes({{"etc/hostname", "newbox\n"}, {"srv/app/app.conf", "host=newbox\n"},
                {"srv/app/sub/deep/db.conf", "newbox-db on newbox\n"},
                {"srv/app/plainconf", "newbox\n"}}),
        RenameCase("grep cannot write what it found")
            .after("run_varnex() { \"$varnex\" \"$@\" >/dev/full; }")
            .run({"newbox", "{root}/srv/app"})
            .says(names("newbox", "oldbox") + running(echo_command("newbox"))
                + running(grep_command("oldbox"))
                + "existing hostname 'oldbox' not found in /etc/hosts, 512.\n"
                + running(sed_command("oldbox")) + running(find_command("{root}/srv/app")))
            .changes(with_app),
        RenameCase("no grep or sed in an empty PATH")
            .after("run_varnex() { PATH= \"$varnex\" \"$@\"; }")
            .run({"newbox", "{root}/srv/app"})
            .says(names("newbox", "oldbox") + running(echo_command("newbox"))
                + running(grep_command("oldbox"))
                + "existing hostname 'oldbox' not found in /etc/hosts, 32512.\n"
                + running(sed_command("oldbox")) + failed(sed_command("oldbox"), 32512) + "\n")
            .exits(1)
            .changes({{"etc/hostname", "newbox\n"}}),
        // head leaves after the first line, and varnex writes to a dead pipe
        // from then on; whether it is still writing by then is a race, so
        // the rename is done five times over.
        RenameCase("standard error into a pipe that closes after one line")
            .after(R"(run_varnex() {
    local i status
    cp -a "$root" "$root/../saved" || return 99
    for i in 1 2 3 4 5; do
        "$helper" set oldbox && cp -a "$root/../saved/." "$root" || return 99
        "$varnex" "$@" 2>&1 | head -n 1
        status=${PIPESTATUS[0]}
        [ "$status" = 0 ] || return "$status"
    done
})")
            .run({"newbox", "{root}/srv/app"})
            .prints("new_hostname is newbox.\nnew_hostname is newbox.\nnew_hostname is newbox.\n"
                    "new_hostname is newbox.\nnew_hostname is newbox.\n")
            .changes(with_app),
        RenameCase("interrupted in a directory: nothing more runs, and it ends by SIGINT")
            .after(interrupt_setup)
            .run({"newbox", "{root}/../big", "{root}/srv/two"})
            .says(renamed + running(find_command("{root}/../big"))
                + failed(find_command("{root}/../big"), SIGINT))
            .prints(grep_found)
            .exits(128 + SIGINT)
            .changes(renamed_files),
        RenameCase("standard error appended to a log at its file-size limit")
            .after("head -c 1024 /dev/zero >\"$root/../log\"; run_varnex() { (ulimit -f 1; "
                   "\"$varnex\" \"$@\" 2>>\"$root/../log\"); }")
            .run({"newbox", "{root}/srv/app"})
            .prints(grep_found)
            .changes(with_app),
        RenameCase("standard output closed")
            .after("run_varnex() { \"$varnex\" \"$@\" >&-; }")
            .run({"newbox", "{root}/srv/app"})
            .says(renamed + running(find_command("{root}/srv/app")))
            .changes(with_app),
        RenameCase("all standard descriptors closed")
            .after("run_varnex() { \"$varnex\" \"$@\" <&- >&- 2>&-; }")
            .run({"newbox", "{root}/srv/app"})
            .changes(with_app),
        RenameCase("SIGCHLD ignored")
            .after("run_varnex() { env --ignore-signal=CHLD \"$varnex\" \"$@\"; }")
            .run({"newbox"})
            .says(renamed)
            .prints(grep_found)
            .changes(renamed_files),
        RenameCase("/etc/hostname missing, umask 077")
            .after("rm /etc/hostname; umask 077; run_varnex() { \"$varnex\" \"$@\"; local s=$?; "
                   "stat -c 'mode %a' /etc/hostname >&2; return $s; }")
            .run({"newbox"})
            .says(renamed + "mode 644\n")
            .prints(grep_found)
            .changes(renamed_files),
    };
    for (const RenameCase &c : cases)
        check(c);
}

TEST_F(Rename, WithoutPrivilegeChangesNothing)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "dropping to user nobody needs real root";
    check(RenameCase("as nobody")
              .as_user_nobody()
              .run({"newbox", "{root}/srv/app"})
              .says(names("newbox", "oldbox") + "sethostname(newbox) failed with -1.\n\n")
              .exits(1)
              .kernel_after("oldbox"));
}

TEST_F(Rename, MatchesOddOldNamesLiterallyAndRunsNothingFromThem)
{
    const std::string messy = "it's/a*[b]$\\^";
    const std::string injected = "$(touch pwned);`touch pwned2`";
    const std::string big5 = "\xb3\\.";
    const RenameCase cases[] = {
        RenameCase("dot")
            .from("db.1")
            .given({{"etc/hosts", "10.0.0.1 db.1\n10.0.0.2 db21\n"}})
            .run({"newbox"})
            .says(names("newbox", "db.1") + running(echo_command("newbox"))
                + running(grep_command("db\\.1")) + running(sed_command("db\\.1")))
            .prints("10.0.0.1 db.1\n")
            .changes(
                {{"etc/hostname", "newbox\n"}, {"etc/hosts", "10.0.0.1 newbox\n10.0.0.2 db21\n"}}),
        RenameCase("leading dash")
            .from("-x")
            .given({{"etc/hosts", "10.0.0.1 -x\n10.0.0.2 y\n"}})
            .run({"newbox"})
            .says(names("newbox", "-x") + running(echo_command("newbox"))
                + running(grep_command("[-]x")) + running(sed_command("[-]x")))
            .prints("10.0.0.1 -x\n")
            .changes(
                {{"etc/hostname", "newbox\n"}, {"etc/hosts", "10.0.0.1 newbox\n10.0.0.2 y\n"}}),
        RenameCase("quote, slash and regex characters")
            .from(messy)
            .given({{"etc/hosts", "1 " + messy + " z\n2 its/aaab]$\\^\n"},
                {"srv/odd/o.conf", "[" + messy + "]\n"}})
            .run({"newbox", "{root}/srv/odd"})
            .says(names("newbox", messy) + running(echo_command("newbox"))
                + running(grep_command("it'\\''s/a\\*\\[b]\\$\\\\\\^"))
                + running(sed_command("it'\\''s\\/a\\*\\[b]\\$\\\\\\^"))
                + running(find_command(
                    "{root}/srv/odd", "it'\\''s\\/a\\*\\[b]\\$\\\\\\^", "it'\\''s/a*[b]$\\^")))
            .prints("1 " + messy + " z\n")
            .changes({{"etc/hostname", "newbox\n"}, {"etc/hosts", "1 newbox z\n2 its/aaab]$\\^\n"},
                {"srv/odd/o.conf", "[newbox]\n"}}),
        RenameCase("a Big5 character ending in a backslash, in a Big5 locale")
            .from(big5)
            .given({{"etc/hosts", "10.0.0.1 " + big5 + "\n"}})
            .after("mkdir \"$root/../locale\" && localedef -i zh_TW -f BIG5 "
                   "\"$root/../locale/zh_TW.BIG5\" || exit; run_varnex() { "
                   "LOCPATH=\"$root/../locale\" LC_ALL=zh_TW.BIG5 \"$varnex\" \"$@\"; }")
            .run({"newbox"})
            .says(names("newbox", big5) + running(echo_command("newbox"))
                + running(grep_command("\xb3\\\\\\.")) + running(sed_command("\xb3\\\\\\.")))
            .prints("10.0.0.1 " + big5 + "\n")
            .changes({{"etc/hostname", "newbox\n"}, {"etc/hosts", "10.0.0.1 newbox\n"}}),
        RenameCase("shell commands")
            .from(injected)
            .given({{"etc/hosts", "1 " + injected + "\n"}})
            .run({"newbox"})
            .says(names("newbox", injected) + running(echo_command("newbox"))
                + running(grep_command("\\" + injected)) + running(sed_command("\\" + injected)))
            .prints("1 " + injected + "\n")
            .changes({{"etc/hostname", "newbox\n"}, {"etc/hosts", "1 newbox\n"}}),
    };
    for (const RenameCase &c : cases)
        check(c);
}

TEST_F(Rename, EditsOnlyRegularConfFilesThatHoldTheNameEachOnItsOwn)
{
    auto changed = std::map<std::string, std::string>{{"etc/hostname", "newbox\n"},
        {"etc/hosts", hosts_renamed}, {"srv/odd/d.conf/inner.conf", "newbox\n"},
        {"srv/odd/my file's \"x\".conf", "newbox\n"}, {"srv/odd/z.conf", "newbox\n"}};
    const std::map<std::string, std::string> etc_renamed
        = {{"etc/hostname", "newbox\n"}, {"etc/hosts", hosts_renamed}};
    auto linked = etc_renamed;
    linked.insert(app_renamed.begin(), app_renamed.end());
    // sed cannot replace a file that is a mount point, as resolv.conf is in
    // many containers; one that holds no name must not even be tried.
    std::map<std::string, std::string> many, many_renamed = etc_renamed;
    for (int i = 1; i <= 60; i++) {
        many["srv/many/f" + std::to_string(i) + ".conf"] = "oldbox\n";
        many_renamed["srv/many/f" + std::to_string(i) + ".conf"] = "newbox\n";
    }
    auto many_with_name = many;
    many["srv/many/resolv.conf"] = "nameserver 10.0.0.1\n";
    many_with_name["srv/many/resolv.conf"] = "search oldbox\n";
    const std::string bind
        = "mount --bind \"$root/srv/many/resolv.conf\" \"$root/srv/many/resolv.conf\"";
    // A sed given big.conf is killed, as by the out-of-memory killer.
    auto with_big = many;
    with_big["srv/many/big.conf"] = "oldbox\n";
    const std::string killing_sed = R"sh(mkdir "$root/../bin" && printf '#!/bin/sh
case "$3" in *big.conf) kill -KILL $$;; esac
exec %s "$@"
' "$(command -v sed)" >"$root/../bin/sed" && chmod +x "$root/../bin/sed" || exit
run_varnex() { PATH="$root/../bin:$PATH" "$varnex" "$@"; })sh";
    auto with_large = many;
    with_large["srv/many/large.conf"] = "oldbox\n" + std::string(4000, 'x') + "\n";

    const RenameCase cases[] = {
        RenameCase("directory, link and blanks")
            .given({{"srv/odd/d.conf/inner.conf", "oldbox\n"},
                {"srv/odd/my file's \"x\".conf", "oldbox\n"}, {"srv/odd/link.conf", "-> real.txt"},
                {"srv/odd/real.txt", "oldbox\n"}, {"srv/odd/z.conf", "oldbox\n"}})
            .run({"newbox", "{root}/srv/odd"})
            .says(renamed + running(find_command("{root}/srv/odd")))
            .prints(grep_found)
            .changes(changed),
        RenameCase("a symbolic link given, and one below it not followed")
            .given({{"srv/link", "-> app"}, {"srv/app/sub/two", "-> ../../two"}})
            .run({"newbox", "{root}/srv/link"})
            .says(renamed + running(find_command("{root}/srv/link")))
            .prints(grep_found)
            .changes(linked),
        RenameCase("a bind-mounted file without the name")
            .given(many)
            .after(bind)
            .run({"newbox", "{root}/srv/many"})
            .says(renamed + running(find_command("{root}/srv/many")))
            .prints(grep_found)
            .changes(many_renamed),
        RenameCase("a bind-mounted file with the name, warned after the others")
            .given(many_with_name)
            .after(bind)
            .run({"newbox", "{root}/srv/many"})
            .says(renamed + running(find_command("{root}/srv/many"))
                + failed(find_command("{root}/srv/many"), no_files))
            .prints(grep_found)
            .changes(many_renamed),
        RenameCase("a sed killed by a signal, warned after the others")
            .given(with_big)
            .after(killing_sed)
            .run({"newbox", "{root}/srv/many"})
            .says(renamed + running(find_command("{root}/srv/many"))
                + failed(find_command("{root}/srv/many"), no_files))
            .prints(grep_found)
            .changes(many_renamed),
        RenameCase("a sed killed by a signal, with bash as /bin/sh")
            .given(with_big)
            .after("mount --bind /bin/bash /bin/sh || exit; " + killing_sed)
            .run({"newbox", "{root}/srv/many"})
            .says(renamed + running(find_command("{root}/srv/many"))
                + failed(find_command("{root}/srv/many"), no_files))
            .prints(grep_found)
            .changes(many_renamed),
        RenameCase("a file larger than the file-size limit, left whole and warned")
            .given(with_large)
            .after("run_varnex() { (ulimit -f 2; \"$varnex\" \"$@\"); }")
            .run({"newbox", "{root}/srv/many"})
            .says(renamed + running(find_command("{root}/srv/many"))
                + failed(find_command("{root}/srv/many"), no_files))
            .prints(grep_found)
            .changes(many_renamed),
        RenameCase("a FIFO mounted over a conf file, skipped")
            .given({{"srv/fifo/a.conf", "oldbox\n"}, {"srv/fifo/b.conf", "oldbox\n"}})
            .after("mkfifo \"$root/../fifo\" && mount --bind \"$root/../fifo\" "
                   "\"$root/srv/fifo/a.conf\" || exit; run_varnex() { timeout 20 \"$varnex\" "
                   "\"$@\"; }")
            .run({"newbox", "{root}/srv/fifo"})
            .says(renamed + running(find_command("{root}/srv/fifo")))
            .prints(grep_found)
            .changes({{"etc/hostname", "newbox\n"}, {"etc/hosts", hosts_renamed},
                {"srv/fifo/b.conf", "newbox\n"}}),
        RenameCase("links named *conf given, to a file and to nothing, left alone")
            .given({{"srv/a.conf", "-> app/app.conf"}, {"srv/gone.conf", "-> missing"}})
            .run({"newbox", "{root}/srv/a.conf", "{root}/srv/gone.conf", "{root}/srv/two"})
            .says(renamed + "'{root}/srv/a.conf' is a link and not a directory: left alone.\n"
                + "'{root}/srv/gone.conf' is a link and not a directory: left alone.\n"
                + running(find_command("{root}/srv/two")))
            .prints(grep_found)
            .changes({{"etc/hostname", "newbox\n"}, {"etc/hosts", hosts_renamed},
                {"srv/two/two.conf", "newbox\n"}}),
    };
    for (const RenameCase &c : cases)
        check(c);
}

TEST_F(Rename, QuotesDirectoriesAndNeverLetsFindReadThemAsExpressions)
{
    const std::string long_dir = "{root}/" + std::string(10000, 'x');
    const std::vector<std::pair<std::string, std::string>> refused
        = {{"-delete", "./-delete"}, {"!", "'./!'"}, {"(", "'./('"},
            {"$(touch pwned)", "'./$(touch pwned)'"}, {"", "''"}, {long_dir, long_dir}};
    RenameCase c
        = RenameCase("odd directories")
              .given({{"srv/with space/w.conf", "oldbox\n"}, {"cwd/keep/k.conf", "oldbox\n"}})
              .run({"newbox"})
              .says(renamed)
              .prints(grep_found)
              .changes({{"etc/hostname", "newbox\n"}, {"etc/hosts", hosts_renamed},
                  {"srv/with space/w.conf", "newbox\n"}});
    for (const auto &[arg, word] : refused) {
        c.args.push_back(arg);
        c.err += running(find_command(word)) + failed(find_command(word), no_files);
    }
    c.args.emplace_back("{root}/srv/with space");
    c.err += running(find_command("'{root}/srv/with space'"));
    check(c);
}

TEST_F(Rename, LeavesNamesThatCannotOrMustNotBeReplaced)
{
    for (const std::string old_name : {"", "localhost", "old\nbox", "old\tbox", "host", "local",
             "lo", "loop", "domain", "1", "127", "ff02"}) {
        check(RenameCase("old name '" + old_name + "'")
                  .from(old_name)
                  .run({"newbox", "{root}/srv/app"})
                  .says(names("newbox", old_name) + running(echo_command("newbox"))
                      + "existing hostname '" + old_name
                      + "' is not replaced in /etc/hosts or conf files.\n")
                  .changes({{"etc/hostname", "newbox\n"}}));
    }
}

} // namespace
