// varnex-preview NEW_HOSTNAME [DIR ...]: shows what `varnex NEW_HOSTNAME
// DIR ...` would change, and changes nothing. The real varnex runs in a
// sandbox where one kernel call has made every mount read-only and without
// devices; only copy-on-write overlays over what it will write to are
// writable, and what they took up is shown as diffs.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "path_text.h"
#include "sandbox.h"

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
        fail("needs Linux 5.12 or later, to make every mount read-only in one call");
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

void refuse_a_user_namespace()
{
    std::ifstream in("/proc/self/uid_map");
    std::string line, more;
    std::getline(in, line);
    std::getline(in, more);
    std::string fields;
    for (char c : line)
        if (c != ' ' || (!fields.empty() && fields.back() != ' '))
            fields += c;
    if (fields != "0 0 4294967295" || !more.empty())
        fail("cannot preview inside a user namespace: a real rename there is not what it would "
             "be on the host");
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
    int alive[2];
    int own_pids = open("/proc/self/ns/pid", O_RDONLY | O_CLOEXEC);
    if (pipe2(alive, O_CLOEXEC) != 0 || own_pids == -1 || unshare(CLONE_NEWPID) != 0)
        fail(with_errno("cannot make the sandbox's namespaces"));
    pid_t pid = fork();
    if (pid > 0 && setns(own_pids, CLONE_NEWPID) != 0)
        fail(with_errno("cannot leave the sandbox's PID namespace"));
    if (pid == 0) {
        close(alive[1]);
        char byte = 0;
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || fcntl(alive[0], F_SETFL, O_NONBLOCK) != 0
            || read(alive[0], &byte, 1) != -1)
            _exit(2);
        close(alive[0]);
        run_sandbox(trees, varnex, args, cwd);
    }
    if (pid == -1)
        fail(with_errno("cannot make the sandbox"));
    // As system() does: a Ctrl-C is for varnex and its commands, and the
    // sandbox reports how they ended.
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    int status = 0;
    while (waitpid(pid, &status, 0) == -1)
        if (errno != EINTR)
            fail(with_errno("cannot wait for the sandbox"));
    if (WIFSIGNALED(status))
        end_like(WTERMSIG(status));
    if (WEXITSTATUS(status) > 128)
        end_like(WEXITSTATUS(status) - 128);
    return WEXITSTATUS(status);
}
