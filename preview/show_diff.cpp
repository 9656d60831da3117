#include "show_diff.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <utility>
#include <vector>

#include "diff_text.h"
#include "path_text.h"
#include "sys_util.h"

namespace {

// The name that starts at text[at], quoted or not, and where it ends. diff
// quotes every name that holds a blank, so an unquoted one ends at the next.
std::string name_at(const std::string &text, size_t at, size_t &end)
{
    end = at;
    if (at < text.size() && text[at] == '"') {
        for (end = at + 1; end < text.size() && text[end] != '"'; end++)
            if (text[end] == '\\')
                end++;
        end = std::min(end + 1, text.size());
    } else {
        while (end < text.size() && text[end] != ' ' && text[end] != '\t')
            end++;
    }
    return diff_unquoted(text.substr(at, end - at));
}

// The host's label for a name diff wrote as side/REL.
bool label(const std::string &name, const std::string &side,
    const std::function<std::string(const std::string &)> &host_path, std::string &labelled)
{
    if (name.compare(0, side.size() + 1, side + "/") != 0)
        return false;
    labelled = diff_quoted(host_path(name.substr(side.size() + 1)));
    return true;
}

// Mirrors upper's directories in before, and gives before the host's own
// version of each file in upper: a file's bytes, a link as a link, nothing
// for a file that is new. Returns how many files upper holds, or -1. Adds
// to relinked the path below upper of each link replaced by a file.
long copy_host_side(
    int upper, int lower, int before, const std::string &path, std::vector<std::string> &relinked)
{
    DIR *entries = fdopendir(dup(upper));
    if (entries == nullptr)
        return -1;
    long files = 0;
    while (const dirent *entry = readdir(entries)) {
        const char *name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        struct stat up = {};
        struct stat host = {};
        if (fstatat(upper, name, &up, AT_SYMLINK_NOFOLLOW) != 0) {
            files = -1;
            break;
        }
        bool on_host = lower != -1 && fstatat(lower, name, &host, AT_SYMLINK_NOFOLLOW) == 0;
        if (S_ISDIR(up.st_mode)) {
            if (mkdirat(before, name, 0700) != 0 && errno != EEXIST) {
                files = -1;
                break;
            }
            const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
            int sub_upper = openat(upper, name, flags);
            int sub_lower = on_host && S_ISDIR(host.st_mode) ? openat(lower, name, flags) : -1;
            int sub_before = openat(before, name, flags);
            long below = sub_upper == -1 || sub_before == -1
                ? -1
                : copy_host_side(sub_upper, sub_lower, sub_before, path + "/" + name, relinked);
            for (int fd : {sub_upper, sub_lower, sub_before})
                if (fd != -1)
                    close(fd);
            files = below == -1 ? -1 : files + below;
            if (files == -1)
                break;
            continue;
        }
        // Anything else in an upper layer is a whiteout, and varnex removes nothing.
        if (!S_ISREG(up.st_mode) && !S_ISLNK(up.st_mode))
            continue;
        files++;
        if (!on_host)
            continue;
        bool copied = true;
        if (S_ISREG(host.st_mode)) {
            copied = copy_file(lower, name, before, name);
        } else if (S_ISLNK(host.st_mode)) {
            if (S_ISREG(up.st_mode))
                relinked.push_back(path + "/" + name);
            std::vector<char> target(static_cast<size_t>(host.st_size) + 1);
            ssize_t length = readlinkat(lower, name, target.data(), target.size());
            copied = length >= 0 && static_cast<size_t>(length) < target.size();
            if (copied) {
                target[static_cast<size_t>(length)] = '\0';
                copied = symlinkat(target.data(), before, name) == 0;
            }
        }
        if (!copied) {
            files = -1;
            break;
        }
    }
    closedir(entries);
    return files;
}

// How many files varnex changed in the overlay whose scratch directory is
// dir, with the host's side of each copied into dir/before, and each link
// that sed replaced by a file in relinked.
long host_side_of_changes(const std::string &dir, std::vector<std::string> &relinked)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    int upper = open((dir + "/upper").c_str(), flags);
    int lower = open((dir + "/lower").c_str(), flags);
    int before = open((dir + "/before").c_str(), flags);
    long files = upper == -1 || lower == -1 || before == -1
        ? -1
        : copy_host_side(upper, lower, before, "", relinked);
    for (int fd : {upper, lower, before})
        if (fd != -1)
            close(fd);
    if (files == -1)
        fail(with_errno("cannot compare the changes in " + dir));
    return files;
}

// The diff program, found where the system keeps it, not through the
// caller's PATH, which is varnex's business.
const char *diff_program()
{
    for (const char *path : {"/usr/bin/diff", "/bin/diff"})
        if (access(path, X_OK) == 0)
            return path;
    return "/usr/bin/diff";
}

// diff's output for the operands, from dir. Its own environment, so that
// neither the caller's locale nor POSIXLY_CORRECT changes its output.
std::string run_diff(const std::string &dir, const std::vector<std::string> &operands)
{
    std::vector<char *> argv
        = {const_cast<char *>("diff"), const_cast<char *>("-u"), const_cast<char *>("-a")};
    std::transform(operands.begin(), operands.end(), std::back_inserter(argv),
        [](const std::string &operand) { return const_cast<char *>(operand.c_str()); });
    argv.push_back(nullptr);
    char *const env[]
        = {const_cast<char *>("LC_ALL=C"), const_cast<char *>("PATH=/usr/bin:/bin"), nullptr};
    std::string raw;
    int status
        = run_program(diff_program(), argv.data(), env, dir, raw, "cannot compare the changes");
    // A Ctrl-C reaches diff too: the user asked for no more.
    if (WIFSIGNALED(status) && (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGQUIT))
        exit(128 + WTERMSIG(status));
    if (!WIFEXITED(status) || WEXITSTATUS(status) > 1)
        fail("cannot compare the changes: diff failed");
    return raw;
}

// Adds to shown diff -r's output for before/ and upper/, with each name
// given as host_path(name below them) in diff's own quoting, and no
// timestamps. Returns false on a line it cannot read.
bool relabel_diff(const std::string &raw,
    const std::function<std::string(const std::string &)> &host_path, std::string &shown)
{
    // diff -r starts each file's section with a line "diff ...", which
    // goes, and the two after it are the headers.
    int headers_due = 0;
    for (const DiffLine &parsed : parse_diff(raw)) {
        std::string line(parsed.text);
        size_t end = 0;
        std::string first;
        std::string second;
        if (parsed.kind == DiffLine::command) {
            headers_due = 2;
        } else if (headers_due > 0) {
            const char *side = headers_due == 2 ? "before" : "upper";
            const char *mark = headers_due == 2 ? "--- " : "+++ ";
            if (parsed.kind != (headers_due == 2 ? DiffLine::old_header : DiffLine::new_header)
                || !label(name_at(line, 4, end), side, host_path, first))
                return false;
            shown += mark + first + "\n";
            headers_due--;
        } else if (parsed.kind == DiffLine::link) {
            // "File X is a symbolic link while file Y is a regular file"
            std::string name = name_at(line, 5, end);
            size_t other = line.find(" while file ", end);
            size_t other_end = 0;
            if (other == std::string::npos || !label(name, "before", host_path, first)
                || !label(name_at(line, other + 12, other_end), "upper", host_path, second))
                return false;
            shown += "File " + first;
            shown += line.substr(end, other + 12 - end) + second;
            shown += line.substr(other_end) + (parsed.newline ? "\n" : "");
        } else {
            shown += line + (parsed.newline ? "\n" : "");
        }
    }
    return headers_due == 0;
}

// A link that sed replaced by a regular file shows only as such in diff
// -r's output; what it did to the lines is the diff of the file the link
// led to, as the host has it, and the new file.
std::string relinked_lines(
    const std::string &dir, const Cover &cover, size_t index, const std::string &below)
{
    const std::string host_path = cover.path + below;
    const std::string lower = cover_dir(index) + "/lower" + below;
    const std::string upper = cover_dir(index) + "/upper" + below;
    std::vector<char> target(PATH_MAX + 1);
    ssize_t length = readlink(lower.c_str(), target.data(), target.size() - 1);
    if (length <= 0)
        return "";
    std::string led_to(target.data(), static_cast<size_t>(length));
    if (led_to[0] != '/')
        led_to = host_path.substr(0, host_path.find_last_of('/') + 1) + led_to;
    char resolved[PATH_MAX];
    const std::string linked = dir + "/linked";
    unlink(linked.c_str());
    if (realpath(led_to.c_str(), resolved) == nullptr
        || !copy_file(AT_FDCWD, resolved, AT_FDCWD, linked))
        return "";
    const std::string shown = diff_quoted(host_path);
    return run_diff(dir, {"--label", shown, "--label", shown, "linked", upper});
}

} // namespace

std::string diff_of_changes(const std::vector<Cover> &covers)
{
    // Each changed cover's two sides are bound under a name of its rank by
    // path, with as many digits as the covers' count has, so that one diff
    // takes them all in the order of their paths.
    const std::string dir = std::string(scratch_dir) + "/diff";
    for (const char *sub : {"", "/before", "/upper"})
        check(mkdir((dir + sub).c_str(), 0700), "cannot compare the changes");
    std::vector<size_t> by_path;
    for (size_t i = 0; i < covers.size(); i++)
        if (covers[i].action == Cover::overlay || covers[i].action == Cover::copy)
            by_path.push_back(i);
    std::sort(by_path.begin(), by_path.end(),
        [&covers](size_t a, size_t b) { return covers[a].path < covers[b].path; });
    const size_t width = std::to_string(covers.size()).size();
    std::vector<size_t> named;
    std::vector<std::pair<size_t, std::string>> relinked;
    for (size_t i : by_path) {
        std::string from = cover_dir(i);
        std::vector<std::string> below;
        if (covers[i].action == Cover::overlay && host_side_of_changes(from, below) == 0)
            continue;
        std::transform(below.begin(), below.end(), std::back_inserter(relinked),
            [i](const std::string &path) { return std::make_pair(i, path); });
        std::string name = std::to_string(named.size());
        name.insert(0, width - name.size(), '0');
        for (const char *side : {"/before/", "/upper/"}) {
            std::string to = dir + side;
            to += name;
            std::string source = from + side;
            if (mkdir(to.c_str(), 0700) != 0
                || mount(source.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0)
                fail(with_errno("cannot compare " + diff_quoted(covers[i].path)));
        }
        named.push_back(i);
    }
    std::string shown;
    if (named.empty())
        return shown;
    auto host_path = [&covers, &named](const std::string &name) {
        size_t slash = name.find('/');
        size_t k = std::strtoul(name.substr(0, slash).c_str(), nullptr, 10);
        if (slash == std::string::npos || k >= named.size())
            return name;
        const Cover &cover = covers[named[k]];
        return cover.action == Cover::copy ? cover.path : cover.path + name.substr(slash);
    };
    const std::vector<std::string> trees
        = {"-r", "--no-dereference", "--unidirectional-new-file", "before", "upper"};
    if (!relabel_diff(run_diff(dir, trees), host_path, shown))
        fail("cannot compare the changes: diff wrote what it should not");
    for (const auto &[i, below] : relinked) {
        std::string path = covers[i].path + below;
        std::string line = "File " + diff_quoted(path) + " is a symbolic link while file "
            + diff_quoted(path) + " is a regular file\n";
        size_t at = shown.rfind(line, 0) == 0 ? 0 : shown.find("\n" + line);
        if (at == std::string::npos)
            continue;
        at += (at == 0 ? 0 : 1) + line.size();
        shown.insert(at, relinked_lines(dir, covers[i], i, below));
    }
    return shown;
}
