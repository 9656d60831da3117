// The whole rename, run for real: the real binary, sethostname and shell
// tools, inside throwaway namespaces over a scratch /etc.
#include <unistd.h>

#include <csignal>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sandbox.h"

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
        if (line.rfind("find: ", 0) != 0 && line.rfind("sed: ", 0) != 0
            && line.rfind("xargs: ", 0) != 0 && line.rfind("sh: ", 0) != 0)
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
    return "find -H " + word + " -name '*conf' -type f -exec grep -lZF -e '"
        + (fixed.empty() ? pattern : fixed) + "' -- {} + | xargs -0 -n 1 sed -i 's/" + pattern
        + "/newbox/g' ";
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

struct RenameCase {
    std::string what;
    std::string old_name;
    std::vector<std::string> args; // {root} stands for the scratch tree
    std::string err; // varnex's own lines
    std::string out;
    int status;
    std::string kernel;
    std::map<std::string, std::string> changed; // tree entries that differ afterwards
    std::map<std::string, std::string> extra; // tree entries added before the run
    std::string setup = "";
    bool as_nobody = false;
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

    const RenameCase cases[] = {
        {"typical run", "oldbox", {"newbox", "{root}/srv/app"},
            renamed + running(find_command("{root}/srv/app")), grep_found, 0, "newbox", with_app,
            {}},
        {"no directories", "oldbox", {"newbox"}, renamed, grep_found, 0, "newbox", renamed_files,
            {}},
        {"same name", "oldbox", {"oldbox", "{root}/srv/app"},
            names("oldbox", "oldbox") + expected_usage, "", 1, "oldbox", {}, {}},
        {"name differing only in case", "OldBox", {"oldbox"},
            names("oldbox", "OldBox") + running(echo_command("oldbox"))
                + running(grep_command("OldBox")) + running(sed_command("OldBox", "oldbox")),
            "127.0.1.1 OldBox\n", 0, "oldbox",
            {{"etc/hostname", "oldbox\n"}, {"etc/hosts", "127.0.1.1 oldbox\n"}},
            {{"etc/hosts", "127.0.1.1 OldBox\n"}}},
        {"old name not in /etc/hosts", "oldbox", {"newbox", "{root}/srv/two"},
            names("newbox", "oldbox") + running(echo_command("newbox"))
                + running(grep_command("oldbox"))
                + "existing hostname 'oldbox' not found in /etc/hosts, 256.\n"
                + running(find_command("{root}/srv/two")),
            "", 0, "newbox", {{"etc/hostname", "newbox\n"}, {"srv/two/two.conf", "newbox\n"}},
            {{"etc/hosts", "127.0.0.1 localhost\n"}}},
        {"several directories, one failing, in order", "oldbox",
            {"newbox", "{root}/srv/two", "{root}/missing", "{root}/srv/app"},
            renamed + running(find_command("{root}/srv/two"))
                + running(find_command("{root}/missing"))
                + failed(find_command("{root}/missing"), no_files)
                + running(find_command("{root}/srv/app")),
            grep_found, 0, "newbox", with_both, {}},
        {"/etc/hostname not writable", "oldbox", {"newbox", "{root}/srv/app"},
            names("newbox", "oldbox") + running(echo_command("newbox"))
                + "echo 'newbox' > /etc/hostname failed with 512.\n\n",
            "", 1, "newbox", {}, {{"etc/hostname", "<dir>"}}},
        {"/etc/hosts not replaceable", "oldbox", {"newbox", "{root}/srv/app"},
            renamed + failed(sed_command("oldbox"), 4 * 256) + "\n", grep_found, 1, "newbox",
            {{"etc/hostname", "newbox\n"}}, {}, "mount --bind /etc/hosts /etc/hosts"},
        {"interrupted in a directory: nothing more runs, and it ends by SIGINT", "oldbox",
            {"newbox", "{root}/../big", "{root}/srv/two"},
            renamed + running(find_command("{root}/../big"))
                + failed(find_command("{root}/../big"), SIGINT),
            grep_found, 128 + SIGINT, "newbox", renamed_files, {}, interrupt_setup},
        {"standard output closed", "oldbox", {"newbox", "{root}/srv/app"},
            renamed + running(find_command("{root}/srv/app")), "", 0, "newbox", with_app, {},
            "run_varnex() { \"$varnex\" \"$@\" >&-; }"},
        {"all standard descriptors closed", "oldbox", {"newbox", "{root}/srv/app"}, "", "", 0,
            "newbox", with_app, {}, "run_varnex() { \"$varnex\" \"$@\" <&- >&- 2>&-; }"},
        {"SIGCHLD ignored", "oldbox", {"newbox"}, renamed, grep_found, 0, "newbox", renamed_files,
            {}, "run_varnex() { env --ignore-signal=CHLD \"$varnex\" \"$@\"; }"},
        {"/etc/hostname missing, umask 077", "oldbox", {"newbox"}, renamed + "mode 644\n",
            grep_found, 0, "newbox", renamed_files, {},
            "rm /etc/hostname; umask 077; run_varnex() { \"$varnex\" \"$@\"; local s=$?; stat "
            "-c 'mode %a' /etc/hostname >&2; return $s; }"},
    };
    for (const RenameCase &c : cases)
        check(c);
}

TEST_F(Rename, WithoutPrivilegeChangesNothing)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "dropping to user nobody needs real root";
    check({"as nobody", "oldbox", {"newbox", "{root}/srv/app"},
        names("newbox", "oldbox") + "sethostname(newbox) failed with -1.\n\n", "", 1, "oldbox", {},
        {}, "", true});
}

TEST_F(Rename, MatchesOddOldNamesLiterallyAndRunsNothingFromThem)
{
    const std::string messy = "it's/a*[b]$\\^";
    const std::string injected = "$(touch pwned);`touch pwned2`";
    const std::string big5 = "\xb3\\.";
    const RenameCase cases[] = {
        {"dot", "db.1", {"newbox"},
            names("newbox", "db.1") + running(echo_command("newbox"))
                + running(grep_command("db\\.1")) + running(sed_command("db\\.1")),
            "10.0.0.1 db.1\n", 0, "newbox",
            {{"etc/hostname", "newbox\n"}, {"etc/hosts", "10.0.0.1 newbox\n10.0.0.2 db21\n"}},
            {{"etc/hosts", "10.0.0.1 db.1\n10.0.0.2 db21\n"}}},
        {"leading dash", "-x", {"newbox"},
            names("newbox", "-x") + running(echo_command("newbox")) + running(grep_command("[-]x"))
                + running(sed_command("[-]x")),
            "10.0.0.1 -x\n", 0, "newbox",
            {{"etc/hostname", "newbox\n"}, {"etc/hosts", "10.0.0.1 newbox\n10.0.0.2 y\n"}},
            {{"etc/hosts", "10.0.0.1 -x\n10.0.0.2 y\n"}}},
        {"quote, slash and regex characters", messy, {"newbox", "{root}/srv/odd"},
            names("newbox", messy) + running(echo_command("newbox"))
                + running(grep_command("it'\\''s/a\\*\\[b]\\$\\\\\\^"))
                + running(sed_command("it'\\''s\\/a\\*\\[b]\\$\\\\\\^"))
                + running(find_command(
                    "{root}/srv/odd", "it'\\''s\\/a\\*\\[b]\\$\\\\\\^", "it'\\''s/a*[b]$\\^")),
            "1 " + messy + " z\n", 0, "newbox",
            {{"etc/hostname", "newbox\n"}, {"etc/hosts", "1 newbox z\n2 its/aaab]$\\^\n"},
                {"srv/odd/o.conf", "[newbox]\n"}},
            {{"etc/hosts", "1 " + messy + " z\n2 its/aaab]$\\^\n"},
                {"srv/odd/o.conf", "[" + messy + "]\n"}}},
        {"a Big5 character ending in a backslash, in a Big5 locale", big5, {"newbox"},
            names("newbox", big5) + running(echo_command("newbox"))
                + running(grep_command("\xb3\\\\\\.")) + running(sed_command("\xb3\\\\\\.")),
            "10.0.0.1 " + big5 + "\n", 0, "newbox",
            {{"etc/hostname", "newbox\n"}, {"etc/hosts", "10.0.0.1 newbox\n"}},
            {{"etc/hosts", "10.0.0.1 " + big5 + "\n"}},
            "mkdir \"$root/../locale\" && localedef -i zh_TW -f BIG5 "
            "\"$root/../locale/zh_TW.BIG5\" || exit; run_varnex() { LOCPATH=\"$root/../locale\" "
            "LC_ALL=zh_TW.BIG5 \"$varnex\" \"$@\"; }"},
        {"shell commands", injected, {"newbox"},
            names("newbox", injected) + running(echo_command("newbox"))
                + running(grep_command("\\" + injected)) + running(sed_command("\\" + injected)),
            "1 " + injected + "\n", 0, "newbox",
            {{"etc/hostname", "newbox\n"}, {"etc/hosts", "1 newbox\n"}},
            {{"etc/hosts", "1 " + injected + "\n"}}},
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

    const RenameCase cases[] = {
        {"directory, link and blanks", "oldbox", {"newbox", "{root}/srv/odd"},
            renamed + running(find_command("{root}/srv/odd")), grep_found, 0, "newbox", changed,
            {{"srv/odd/d.conf/inner.conf", "oldbox\n"},
                {"srv/odd/my file's \"x\".conf", "oldbox\n"}, {"srv/odd/link.conf", "-> real.txt"},
                {"srv/odd/real.txt", "oldbox\n"}, {"srv/odd/z.conf", "oldbox\n"}}},
        {"a symbolic link given, and one below it not followed", "oldbox",
            {"newbox", "{root}/srv/link"}, renamed + running(find_command("{root}/srv/link")),
            grep_found, 0, "newbox", linked,
            {{"srv/link", "-> app"}, {"srv/app/sub/two", "-> ../../two"}}},
        {"a bind-mounted file without the name", "oldbox", {"newbox", "{root}/srv/many"},
            renamed + running(find_command("{root}/srv/many")), grep_found, 0, "newbox",
            many_renamed, many, bind},
        {"a bind-mounted file with the name, warned after the others", "oldbox",
            {"newbox", "{root}/srv/many"},
            renamed + running(find_command("{root}/srv/many"))
                + failed(find_command("{root}/srv/many"), no_files),
            grep_found, 0, "newbox", many_renamed, many_with_name, bind},
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
    RenameCase c{"odd directories", "oldbox", {"newbox"}, renamed, grep_found, 0, "newbox",
        {{"etc/hostname", "newbox\n"}, {"etc/hosts", hosts_renamed},
            {"srv/with space/w.conf", "newbox\n"}},
        {{"srv/with space/w.conf", "oldbox\n"}, {"cwd/keep/k.conf", "oldbox\n"}}};
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
    for (const std::string old_name :
        {"", "localhost", "old\nbox", "old\tbox", "host", "local", "lo", "loop", "domain"}) {
        check({"old name '" + old_name + "'", old_name, {"newbox", "{root}/srv/app"},
            names("newbox", old_name) + running(echo_command("newbox")) + "existing hostname '"
                + old_name + "' is not replaced in /etc/hosts or conf files.\n",
            "", 0, "newbox", {{"etc/hostname", "newbox\n"}}, {}});
    }
}

} // namespace
