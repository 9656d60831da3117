#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "command_runner.h"
#include "hostname_rule.h"
#include "shell_text.h"

namespace {

// The spelling is the tool's own, and scripts may match on it.
const char usage_text[]
    = "\n"
      "USAGE:  varnex <new_hostname> [other dirs with conf files]\n"
      "\n"
      "\t<new_hostname> must be:\n"
      "\tat least one but no more that 63 characters,\n"
      "\tstarting with an alphabetic or digit character,\n"
      "\tfollowed by alphabetic, digit, or dash (-) characters.\n"
      "\n"
      "\t<new_hostname> must be different from current hosthame.\n"
      "\n"
      "\tChanges all occurances of current hostname to new hostname in /etc/hosts.\n"
      "\tWarns if current hostname is not present in /etc/hosts.\n"
      "\n"
      "\tIf other directory names are given, changes all\n"
      "\toccurances of current hostname to new hostname in all\n"
      "\t.conf files in those directories.\n"
      "\n"
      "\twrites all messages to STDERR.\n";

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

// The signal that ended a command when it was the user's interrupt, else 0.
int interrupt_of(int status)
{
    if (status == -1 || !WIFSIGNALED(status))
        return 0;
    int signal_number = WTERMSIG(status);
    return signal_number == SIGINT || signal_number == SIGQUIT ? signal_number : 0;
}

// system() ignores SIGINT and SIGQUIT in varnex while a command runs, so a
// Ctrl-C ends only the command. The user asked for all of it to stop, so
// varnex then ends itself by the same signal, and its caller sees an
// interrupt rather than a status of varnex's own.
void end_if_interrupted(int status)
{
    int interrupt = interrupt_of(status);
    if (interrupt == 0)
        return;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, interrupt);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    signal(interrupt, SIG_DFL);
    raise(interrupt);
}

// A failed step that the sequence goes on after.
void warn_of_failure(int status, const std::string &line)
{
    fputs(line.c_str(), stderr);
    end_if_interrupted(status);
}

// A failed step that ends the rename. Its line is followed by an empty line
// whether or not the user interrupted it; exit_with_message cannot write it
// then, since it would end varnex with status 1 instead of the signal.
[[noreturn]] void fail_with(int status, const std::string &line)
{
    if (interrupt_of(status) != 0) {
        fprintf(stderr, "%s\n", line.c_str());
        end_if_interrupted(status);
    }
    exit_with_message(line.c_str());
}

// Does nothing, so that a write to a pipe whose reader has gone fails with
// EPIPE instead of ending varnex midway. Unlike SIG_IGN, a caught signal is
// set back to its default by exec, so the commands still end on a dead pipe.
void ignore_broken_pipe(int /*signal_number*/)
{
}

// What the commands inherit must not spoil them. A closed standard
// descriptor would be taken by the next file a command opens: grep could not
// print what it found, and a message could land inside a file sed edits.
// system() cannot wait for its shell while SIGCHLD is ignored. echo creates
// a missing /etc/hostname with the caller's umask, and it must be readable.
// grep and sed match bytes, which is what a literal match means, and not
// characters of a multibyte locale that an escaped pattern could split.
// Once the rename has begun, its own output must not cut it short.
void prepare_for_commands()
{
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) == -1)
            exit_with_message("cannot open /dev/null for a closed standard descriptor.\n");
    signal(SIGCHLD, SIG_DFL);
    signal(SIGPIPE, ignore_broken_pipe);
    umask(022);
    setenv("LC_ALL", "C", 1);
}

// find -H would take such an argument as the file it points to, and sed
// would replace the link by a plain copy.
bool is_link_to_non_directory(const char *path)
{
    struct stat link_status { };
    struct stat target_status { };
    return lstat(path, &link_status) == 0 && S_ISLNK(link_status.st_mode)
        && (stat(path, &target_status) != 0 || !S_ISDIR(target_status.st_mode));
}

// Whether inner is outer or lies below it; both are resolved paths.
bool holds(const std::string &outer, const std::string &inner)
{
    if (inner.compare(0, outer.size(), outer) != 0)
        return false;
    return inner.size() == outer.size() || outer == "/" || inner[outer.size()] == '/';
}

// Whether one of paths is path, lies above it or below it, in a few look-ups
// rather than a comparison with each: the paths below a directory are the
// ones that begin with its name and a slash, and they sort together.
bool overlaps_any(const std::set<std::string> &paths, const std::string &path)
{
    std::string below = path == "/" ? path : path + "/";
    auto next = paths.lower_bound(below);
    if (next != paths.end() && next->compare(0, below.size(), below) == 0)
        return true;
    if (paths.count("/") != 0 || paths.count(path) != 0)
        return true;
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        if (paths.count(path.substr(0, slash)) != 0)
            return true;
    return false;
}

// A file that the sweep reaches twice gets the replacement twice, which
// turns node1 into node100 when the new name is node10. So two arguments
// that find reaches the same files through (the same tree twice, a link and
// its target, one inside the other) end the rename before it begins. What
// does not exist, or is left alone, is never searched. A shell glob can give
// thousands of arguments: each is resolved once, and compared with all the
// earlier ones only to name the one it overlaps.
void refuse_overlapping_arguments(int argc, char *argv[])
{
    std::vector<std::pair<const char *, std::string>> searched;
    std::set<std::string> paths;
    for (int i = 2; i < argc; i++) {
        char buffer[PATH_MAX];
        if (is_link_to_non_directory(argv[i]) || realpath(argv[i], buffer) == nullptr)
            continue;
        std::string resolved = buffer;
        if (overlaps_any(paths, resolved)) {
            for (const auto &[earlier, earlier_resolved] : searched) {
                if (!holds(earlier_resolved, resolved) && !holds(resolved, earlier_resolved))
                    continue;
                std::string message = format_text(
                    "directories '%s' and '%s' overlap: a file in both would be renamed twice.\n",
                    earlier, argv[i]);
                exit_with_message(message.c_str());
            }
        }
        paths.insert(resolved);
        searched.emplace_back(argv[i], std::move(resolved));
    }
}

// Each step runs only if the one before it succeeded, and nothing is undone:
// by the time /etc/hosts is edited the kernel name and /etc/hostname have
// already changed. Failures in the directories are warnings only.
[[noreturn]] void rename_host(const char *new_hostname, int argc, char *argv[], const char *usage)
{
    fprintf(stderr, "new_hostname is %s.\n", new_hostname);

    char old_hostname[128] = {};
    int status = gethostname(old_hostname, sizeof old_hostname);
    if (status != 0)
        exit_with_message(format_text("gethostname() failed with %d.\n", status).c_str());
    old_hostname[sizeof old_hostname - 1] = '\0';
    fprintf(stderr, "old_hostname is %s.\n", old_hostname);

    if (strcmp(old_hostname, new_hostname) == 0)
        exit_with_message(usage);
    refuse_overlapping_arguments(argc, argv);

    status = sethostname(new_hostname, strlen(new_hostname));
    if (status != 0)
        exit_with_message(
            format_text("sethostname(%s) failed with %d.\n", new_hostname, status).c_str());

    std::string command_buffer = format_text("echo '%s' > /etc/hostname", new_hostname);
    status = run_command(command_buffer.c_str());
    if (status != 0)
        fail_with(status,
            format_text("echo '%s' > /etc/hostname failed with %d.\n", new_hostname, status));

    if (!is_replaceable_name(old_hostname)) {
        fprintf(stderr, "existing hostname '%s' is not replaced in /etc/hosts or conf files.\n",
            old_hostname);
        exit(0);
    }
    // The kernel takes any bytes as a name, so the old one is matched
    // literally and kept inside the commands' single quotes.
    std::string fixed_name = escape_single_quotes(old_hostname);
    std::string grep_pattern = escape_single_quotes(literal_pattern(old_hostname, '\0'));
    std::string sed_pattern = escape_single_quotes(literal_pattern(old_hostname, '/'));

    // Only grep's "no line selected" says the name is not there. It also
    // fails when it cannot write what it found (a full disk, a closed pipe)
    // or cannot be run at all, and then the sed is tried all the same on an
    // /etc/hosts that exists; a missing one has nothing to rename.
    command_buffer = format_text("grep '%s' /etc/hosts", grep_pattern.c_str());
    status = run_command(command_buffer.c_str());
    if (status != 0)
        warn_of_failure(status,
            format_text(
                "existing hostname '%s' not found in /etc/hosts, %d.\n", old_hostname, status));
    struct stat hosts_status { };
    if (status == 0 || (status != 256 && stat("/etc/hosts", &hosts_status) == 0)) {
        command_buffer
            = format_text("sed -i 's/%s/%s/g' /etc/hosts", sed_pattern.c_str(), new_hostname);
        status = run_command(command_buffer.c_str());
        if (status != 0)
            fail_with(status,
                format_text("system(%s) failed with %d.\n", command_buffer.c_str(), status));
    }

    // -H searches a directory given as a symbolic link, and no link below
    // it. Only regular files, so that sed never replaces a link by a copy;
    // only those grep finds the name in, so that no other file is rewritten;
    // and a sed for each, so that one file sed cannot replace (bind-mounted,
    // immutable) spoils none of the others.
    for (int i = 2; i < argc; i++) {
        if (is_link_to_non_directory(argv[i])) {
            fprintf(stderr, "'%s' is a link and not a directory: left alone.\n", argv[i]);
            continue;
        }
        command_buffer = format_text("find -H %s -name '*conf' -type f -exec grep -lZF -e '%s' -- "
                                     "{} + | xargs -0 -n 1 sed -i 's/%s/%s/g' ",
            find_start_word(argv[i]).c_str(), fixed_name.c_str(), sed_pattern.c_str(),
            new_hostname);
        status = run_command(command_buffer.c_str());
        if (status != 0)
            warn_of_failure(status,
                format_text("system(%s) failed with %d.\n", command_buffer.c_str(), status));
    }
    exit(0);
}

} // namespace

int main(int argc, char *argv[])
{
    prepare_for_commands();
    if (argc <= 1)
        exit_with_message(usage_text);
    const char *new_hostname = argv[1];
    if (is_valid_hostname(new_hostname) != 1)
        exit_with_message(usage_text);
    rename_host(new_hostname, argc, argv, usage_text);
}
