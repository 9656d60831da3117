#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
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
// Once the rename has begun, its own output must not cut it short: neither
// a dead pipe nor a log at its file-size limit. SIGXFSZ is ignored rather
// than caught, and the commands inherit that: a sed at the limit then fails
// with an error and removes its temporary file, where the signal would end
// it and leave the file behind.
void prepare_for_commands()
{
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) == -1)
            exit_with_message("cannot open /dev/null for a closed standard descriptor.\n");
    signal(SIGCHLD, SIG_DFL);
    signal(SIGPIPE, ignore_broken_pipe);
    signal(SIGXFSZ, SIG_IGN);
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

// An argument that find will search, and the places of file systems it
// reaches (see refuse_overlapping_mounts).
struct Searched {
    const char *text;
    std::string resolved;
    std::pair<dev_t, ino_t> inode;
    unsigned long mount_id; // 0 when the kernel does not tell
    std::vector<std::string> places;
};

// A mount as /proc/self/mountinfo lists it: its file system, the directory
// of that file system it shows, and where it shows it.
struct Mount {
    std::string device;
    std::string root;
    std::string point;
};

// A path field of mountinfo as the bytes it stands for: the kernel writes a
// blank, tab, newline or backslash as a backslash and three octal digits.
std::string decode_mount_path(const std::string &field)
{
    std::string path;
    for (size_t i = 0; i < field.size(); i++) {
        if (field[i] == '\\' && field.size() - i >= 4
            && field.find_first_not_of("01234567", i + 1) >= i + 4) {
            path += static_cast<char>(
                (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            path += field[i];
        }
    }
    return path;
}

// Every mount by its id, from one read. Without /proc there are none, and
// only paths and inodes are compared.
std::map<unsigned long, Mount> read_mounts()
{
    std::map<unsigned long, Mount> mounts;
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        unsigned long id = 0;
        unsigned long parent = 0;
        std::string device, root, point;
        if (fields >> id >> parent >> device >> root >> point)
            mounts[id] = {device, decode_mount_path(root), decode_mount_path(point)};
    }
    return mounts;
}

// The place of path below a mount, as "/<device><path in its file system>",
// so that the places of one file system hold each other as their paths do.
std::string place_of(const Mount &mount, const std::string &path)
{
    std::string below = mount.point == "/" ? path : path.substr(mount.point.size());
    if (below == "/")
        below.clear();
    return "/" + mount.device + (mount.root == "/" ? "" : mount.root) + below;
}

bool reaches(const Searched &argument, const std::string &place)
{
    return std::any_of(argument.places.begin(), argument.places.end(),
        [&](const std::string &own) { return holds(own, place) || holds(place, own); });
}

[[noreturn]] void refuse_overlap(const char *earlier, const char *later)
{
    std::string message
        = format_text("directories '%s' and '%s' overlap: a file in both would be renamed twice.\n",
            earlier, later);
    exit_with_message(message.c_str());
}

// The arguments that find will search, resolved as it will reach them. One
// that exists but cannot be resolved (a working directory unmounted, or left
// in another mount namespace) cannot be compared with the others, and ends
// the rename. What does not exist, or is left alone, is never searched.
std::vector<Searched> resolve_arguments(int argc, char *argv[])
{
    std::vector<Searched> searched;
    for (int i = 2; i < argc; i++) {
        if (is_link_to_non_directory(argv[i]))
            continue;
        char buffer[PATH_MAX];
        struct statx status { };
        if (realpath(argv[i], buffer) == nullptr
            || statx(AT_FDCWD, buffer, 0, STATX_INO | STATX_MNT_ID, &status) != 0) {
            const char *reason = strerror(errno);
            struct stat link_status { };
            if (lstat(argv[i], &link_status) != 0)
                continue;
            exit_with_message(
                format_text("'%s' exists but cannot be resolved: %s.\n", argv[i], reason).c_str());
        }
        searched.push_back(
            {argv[i], buffer, {makedev(status.stx_dev_major, status.stx_dev_minor), status.stx_ino},
                (status.stx_mask & STATX_MNT_ID) != 0 ? status.stx_mnt_id : 0, {}});
    }
    return searched;
}

// A file that the sweep reaches twice gets the replacement twice, which
// turns node1 into node100 when the new name is node10. So two arguments
// that find reaches the same files through (the same tree twice, a link and
// its target, one inside the other) end the rename before it begins. A shell
// glob can give thousands of arguments: each is compared with all the
// earlier ones only to name the one it overlaps.
void refuse_overlapping_paths(const std::vector<Searched> &searched)
{
    std::set<std::string> paths;
    for (size_t i = 0; i < searched.size(); i++) {
        const std::string &resolved = searched[i].resolved;
        if (overlaps_any(paths, resolved))
            for (size_t j = 0; j < i; j++)
                if (holds(searched[j].resolved, resolved) || holds(resolved, searched[j].resolved))
                    refuse_overlap(searched[j].text, searched[i].text);
        paths.insert(resolved);
    }
}

// Mounts join trees that paths keep apart: one directory bound at two places
// given, or bound inside another tree given. What an argument reaches is its
// own place and that of every mount below it; mounts are read once, and no
// tree is walked.
void refuse_overlapping_mounts(std::vector<Searched> &searched)
{
    std::map<std::pair<dev_t, ino_t>, size_t> inodes;
    for (size_t i = 0; i < searched.size(); i++) {
        auto [same, inserted] = inodes.emplace(searched[i].inode, i);
        if (!inserted)
            refuse_overlap(searched[same->second].text, searched[i].text);
    }
    std::map<unsigned long, Mount> mounts = read_mounts();
    std::map<std::string, size_t> by_path;
    for (size_t i = 0; i < searched.size(); i++) {
        by_path.emplace(searched[i].resolved, i);
        auto mount = mounts.find(searched[i].mount_id);
        if (mount != mounts.end() && holds(mount->second.point, searched[i].resolved))
            searched[i].places.push_back(place_of(mount->second, searched[i].resolved));
    }
    // The closest argument above a mount reaches it: arguments that hold
    // one another are refused already, so there is one at most. "/" holds
    // every other argument, so it is never one of several here.
    for (const auto &[id, mount] : mounts) {
        for (size_t slash = mount.point.rfind('/'); slash != std::string::npos && slash > 0;
             slash = mount.point.rfind('/', slash - 1)) {
            auto owner = by_path.find(mount.point.substr(0, slash));
            if (owner != by_path.end()) {
                searched[owner->second].places.push_back(place_of(mount, mount.point));
                break;
            }
        }
    }
    std::set<std::string> places;
    for (size_t i = 0; i < searched.size(); i++) {
        for (const std::string &place : searched[i].places)
            if (overlaps_any(places, place))
                for (size_t j = 0; j < i; j++)
                    if (reaches(searched[j], place))
                        refuse_overlap(searched[j].text, searched[i].text);
        places.insert(searched[i].places.begin(), searched[i].places.end());
    }
}

void refuse_overlapping_arguments(int argc, char *argv[])
{
    std::vector<Searched> searched = resolve_arguments(argc, argv);
    refuse_overlapping_paths(searched);
    if (searched.size() > 1)
        refuse_overlapping_mounts(searched);
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
    // grep skips a FIFO, device or socket mounted over one, rather than wait
    // on it; only those grep finds the name in, so that no other file is
    // rewritten; and a sed for each, so that one file sed cannot replace
    // (bind-mounted, immutable) spoils none of the others. xargs stops at
    // once when a command it runs is killed by a signal (the out-of-memory
    // killer), so a shell for each batch runs the seds and counts a killed
    // one as one failed file. Given no file, it runs sed alone, which says
    // "no input files" and fails, so that an empty directory warns as ever.
    for (int i = 2; i < argc; i++) {
        if (is_link_to_non_directory(argv[i])) {
            fprintf(stderr, "'%s' is a link and not a directory: left alone.\n", argv[i]);
            continue;
        }
        command_buffer = format_text(
            "find -H %s -name '*conf' -type f -exec grep -D skip -lZF -e '%s' -- {} + | xargs -0 "
            "sh -c 'e=$1; shift; [ $# != 0 ] || exec sed -i \"$e\"; s=0; for f in \"$@\"; do "
            "sed -i \"$e\" \"$f\" || s=1; done; exit $s' sh 's/%s/%s/g' ",
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
