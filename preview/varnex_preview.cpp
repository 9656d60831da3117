// varnex-preview NEW_HOSTNAME [DIR ...]: shows what `varnex NEW_HOSTNAME
// DIR ...` would change, and changes nothing. The real varnex runs in a
// sandbox where one kernel call has made every mount read-only and without
// devices; only copy-on-write overlays over what it will write to are
// writable, and what they took up is shown as diffs.
#include <fcntl.h>
#include <linux/openat2.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "diff_text.h"
#include "path_text.h"
#include "sandbox.h"
#include "sys_util.h"

namespace {

bool resolve(const std::string &path, std::string &resolved)
{
    char buffer[PATH_MAX];
    if (realpath(path.c_str(), buffer) == nullptr)
        return false;
    resolved = buffer;
    return true;
}

std::string directory_of(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Whether path leads through a link of /proc to a descriptor, or to another
// process's root or working directory, which the sandbox cannot show: its
// descriptors and processes are not the caller's. Such a link the caller
// may not follow fails with EACCES before the kernel sees that it is one.
bool reached_through_proc_link(const std::string &path)
{
    struct open_how how = {};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_NO_MAGICLINKS;
    long fd = syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
    if (fd >= 0) {
        close(static_cast<int>(fd));
        return false;
    }
    if (errno == ENOSYS)
        fail("needs Linux 5.6 or later, to resolve a path without following the links of /proc");
    if (errno != ELOOP && errno != EACCES)
        return false;
    how.resolve = 0;
    fd = syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
    if (fd >= 0)
        close(static_cast<int>(fd));
    return fd >= 0 || errno != ELOOP;
}

// The directory that a link at /etc/hostname leads into, as echo reaches it:
// the file itself need not exist.
std::string hostname_directory()
{
    std::string path = "/etc/hostname";
    for (int links = 0; links < 40; links++) {
        char target[PATH_MAX];
        ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
        if (length < 0)
            break;
        target[length] = '\0';
        path = target[0] == '/' ? target : directory_of(path) + "/" + target;
    }
    std::string resolved;
    return resolve(directory_of(path), resolved) ? resolved : "";
}

// What varnex will write to, as the kernel resolves it: /etc, where
// /etc/hostname leads, each directory (links followed, .. taken after them),
// and the directory of each file, since sed -i renames a new file into it.
std::vector<std::string> trees_to_cover(const std::vector<std::string> &args)
{
    std::vector<std::string> roots;
    std::string resolved;
    if (resolve("/etc", resolved))
        roots.push_back(resolved);
    if (std::string hostname_dir = hostname_directory(); !hostname_dir.empty())
        roots.push_back(hostname_dir);
    for (size_t i = 1; i < args.size(); i++) {
        struct stat st = {};
        if (stat(args[i].c_str(), &st) != 0)
            continue;
        if (resolve(S_ISDIR(st.st_mode) ? args[i] : directory_of(args[i]), resolved))
            roots.push_back(resolved);
    }
    std::vector<std::string> trees = outermost_trees(roots);
    for (const std::string &tree : trees)
        if (tree == "/" || is_within(tree, "/proc") || is_within(tree, "/sys")
            || is_within(tree, "/dev"))
            fail("cannot preview " + diff_quoted(tree)
                + ": the sandbox has its own /dev and /proc, and overlays neither them nor /sys");
    return trees;
}

// The initial user namespace has a fixed inode number; any other is one
// where a rename could not do what it would do on the host, whatever its
// map reads.
void refuse_a_user_namespace()
{
    const ino_t initial_user_namespace = 0xEFFFFFFD;
    struct stat own = {};
    if (stat("/proc/self/ns/user", &own) != 0)
        fail(with_errno("cannot tell its user namespace"));
    if (own.st_ino != initial_user_namespace)
        fail("cannot preview inside a user namespace: a real rename there is not what it would "
             "be on the host");
}

// varnex runs as root of a user namespace of its own, which the kernel
// gives no process in a chroot, nor where they are forbidden.
void refuse_without_user_namespaces()
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(unshare(CLONE_NEWUSER) == 0 ? 0 : errno);
    if (pid == -1)
        fail(with_errno("cannot try a user namespace"));
    int status = wait_for(pid, "cannot try a user namespace");
    if (!WIFEXITED(status))
        fail("cannot try a user namespace");
    errno = WEXITSTATUS(status);
    if (errno != 0)
        fail(with_errno("cannot preview in a chroot, or where user namespaces are forbidden: the "
                        "sandbox needs one"));
}

// What the sandbox may hold of the caller's descriptors: no terminal, so
// that nothing in it can type into the caller's shell or hang it up. Where
// the caller's standard output or error is one, it gets a pipe, relayed
// here; standard input is /dev/null unless it is a plain file, a pipe or
// /dev/null itself, read-only.
struct Relay {
    int pipe[2] = {-1, -1};
};

Streams plan_streams(Relay relays[3])
{
    Streams streams;
    streams.colour_diff = colour_wanted(1);
    streams.colour_notes = colour_wanted(2);
    for (int fd : {1, 2})
        if (isatty(fd) == 1 && pipe2(relays[fd].pipe, O_CLOEXEC) != 0)
            fail(with_errno("cannot relay the output"));
    streams.relayed_out = relays[1].pipe[0] != -1;
    streams.relayed_err = relays[2].pipe[0] != -1;
    return streams;
}

// In the sandbox's first process, before anything else.
void take_streams(Relay relays[3])
{
    struct stat st = {};
    int flags = fcntl(0, F_GETFL);
    bool keep_input = fstat(0, &st) == 0
        && (S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode)
            || (S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3)))
        && flags != -1 && (flags & O_ACCMODE) == O_RDONLY;
    int null = keep_input ? -1 : open("/dev/null", O_RDONLY | O_CLOEXEC);
    if ((!keep_input && (null == -1 || dup2(null, 0) != 0)))
        fail(with_errno("cannot give the sandbox /dev/null"));
    for (int fd : {1, 2})
        if (relays[fd].pipe[1] != -1 && dup2(relays[fd].pipe[1], fd) != fd)
            fail(with_errno("cannot relay the output"));
}

// Copies what the sandbox writes to the pipes onto the caller's terminals
// until the sandbox has ended, standard output first when both hold
// something: the sandbox waits for one to be read before it writes to the
// other.
void relay_output(Relay relays[3])
{
    struct pollfd fds[2] = {{relays[1].pipe[0], POLLIN, 0}, {relays[2].pipe[0], POLLIN, 0}};
    for (int fd : {1, 2})
        if (relays[fd].pipe[1] != -1)
            close(relays[fd].pipe[1]);
    char buffer[65536];
    while (fds[0].fd != -1 || fds[1].fd != -1) {
        if (poll(fds, 2, -1) == -1) {
            if (errno == EINTR)
                continue;
            fail(with_errno("cannot relay the output"));
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd == -1 || fds[i].revents == 0)
                continue;
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got == -1 && errno == EINTR)
                break;
            if (got <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                continue;
            }
            // A terminal that is gone takes nothing more; the sandbox goes on.
            write_all(i + 1, std::string_view(buffer, static_cast<size_t>(got)));
            break;
        }
    }
}

const char usage_text[] = "usage: varnex-preview new_hostname [dir ...]\n"
                          "       varnex-preview --help | --version\n"
                          "Shows what `varnex new_hostname dir ...` would change, as a diff, "
                          "changing nothing.\n";

// The preview's own options, before anything else: a host name never
// starts with a dash, so none of them can be one.
void answer_options(int argc, const char *const argv[])
{
    if (argc < 2) {
        fputs(usage_text, stderr);
        exit(2);
    }
    const std::string first = argv[1];
    if (first == "--help" || first == "-h") {
        fputs(usage_text, stdout);
        exit(fflush(stdout) == 0 ? 0 : 2);
    }
    if (first == "--version") {
        fputs("varnex-preview " VARNEX_VERSION "\n", stdout);
        exit(fflush(stdout) == 0 ? 0 : 2);
    }
    if (first[0] == '-') {
        fprintf(stderr, "varnex-preview: unknown option %s\n%s", first.c_str(), usage_text);
        exit(2);
    }
}

[[noreturn]] void end_like(int signal_number)
{
    signal(signal_number, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal_number);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal_number);
    // A signal whose default action is to be ignored.
    exit(2); // cppcheck-suppress unreachableCode
}

} // namespace

int main(int argc, char *argv[])
{
    answer_options(argc, argv);
    if (geteuid() != 0)
        fail("must be run as root, to sandbox a rename that writes to /etc");
    refuse_a_user_namespace();
    refuse_without_user_namespaces();
    std::string self;
    if (!resolve("/proc/self/exe", self))
        fail(with_errno("cannot find itself"));
    std::string varnex = directory_of(self) + "/varnex";
    if (access(varnex.c_str(), X_OK) != 0)
        fail("cannot find varnex beside " + diff_quoted(self));
    std::vector<std::string> args(argv + 1, argv + argc);
    // echo writes through a link at /etc/hostname, and varnex keeps the
    // caller's standard descriptors.
    std::vector<std::string> paths = {"/etc", "/etc/hostname", "/etc/hosts"};
    if (!args.empty())
        paths.insert(paths.end(), args.begin() + 1, args.end());
    for (const std::string &path : paths)
        if (reached_through_proc_link(path))
            fail("refusing " + diff_quoted(path)
                + ": it leads through a descriptor or another process's root or working "
                  "directory in /proc, or cannot be reached, and the sandbox would not see it as "
                  "varnex does");
    std::vector<std::string> trees = trees_to_cover(args);
    char cwd[PATH_MAX];
    struct stat here = {};
    struct stat there = {};
    if (getcwd(cwd, sizeof cwd) == nullptr || stat(".", &here) != 0)
        fail(with_errno("cannot find the working directory"));
    // The sandbox enters it again by its name, which must still lead to it.
    if (stat(cwd, &there) != 0 || here.st_dev != there.st_dev || here.st_ino != there.st_ino)
        fail("the working directory " + diff_quoted(cwd)
            + " is hidden under a later mount, and the sandbox cannot enter it");

    // The sandbox is the first process of a PID namespace of its own, whose
    // end ends every process in it, and it dies with the preview, however
    // the preview ends. Only the sandbox goes into that namespace: once it
    // has ended, no other process could be made there.
    Relay relays[3];
    Streams streams = plan_streams(relays);
    int alive[2];
    int own_pids = open("/proc/self/ns/pid", O_RDONLY | O_CLOEXEC);
    if (pipe2(alive, O_CLOEXEC) != 0 || own_pids == -1 || unshare(CLONE_NEWPID) != 0)
        fail(with_errno("cannot make the sandbox's namespaces"));
    pid_t pid = fork();
    if (pid > 0 && setns(own_pids, CLONE_NEWPID) != 0)
        fail(with_errno("cannot leave the sandbox's PID namespace"));
    close(own_pids);
    if (pid == 0) {
        take_streams(relays);
        close(alive[1]);
        char byte = 0;
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || fcntl(alive[0], F_SETFL, O_NONBLOCK) != 0
            || read(alive[0], &byte, 1) != -1)
            _exit(2);
        close(alive[0]);
        run_sandbox(trees, varnex, args, cwd, streams);
    }
    if (pid == -1)
        fail(with_errno("cannot make the sandbox"));
    // As system() does: a Ctrl-C is for varnex and its commands, and the
    // sandbox reports how they ended.
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    relay_output(relays);
    int status = wait_for(pid, "cannot wait for the sandbox");
    if (WIFSIGNALED(status))
        end_like(WTERMSIG(status));
    if (WEXITSTATUS(status) > 128)
        end_like(WEXITSTATUS(status) - 128);
    return WEXITSTATUS(status);
}
