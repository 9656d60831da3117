#include "sandbox.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "cover_mounts.h"
#include "diff_text.h"
#include "path_text.h"
#include "show_diff.h"
#include "sys_util.h"

namespace {

void seal_every_mount()
{
    struct mount_attr attr = {};
    attr.attr_set = MOUNT_ATTR_RDONLY | MOUNT_ATTR_NODEV | MOUNT_ATTR_NOSUID;
    if (mount_setattr(AT_FDCWD, "/", AT_RECURSIVE, &attr, sizeof attr) == 0)
        return;
    if (errno == ENOSYS)
        fail("needs Linux 5.12 or later, to make every mount read-only in one call");
    fail(with_errno("cannot make the sandbox's mounts read-only"));
}

// A /dev of the harmless nodes only, the one mount where device nodes work,
// read-only but for the scratch tmpfs mounted inside it.
void replace_dev()
{
    const char *const names[] = {"null", "zero", "full", "random", "urandom", "tty"};
    struct stat nodes[std::size(names)] = {};
    bool present[std::size(names)] = {};
    for (size_t i = 0; i < std::size(names); i++)
        present[i] = stat(("/dev/" + std::string(names[i])).c_str(), &nodes[i]) == 0
            && S_ISCHR(nodes[i].st_mode);
    check(mount("varnex-preview", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=755,size=64k"),
        "cannot replace /dev");
    for (size_t i = 0; i < std::size(names); i++) {
        std::string path = "/dev/" + std::string(names[i]);
        if (present[i])
            check(mknod(path.c_str(), S_IFCHR, nodes[i].st_rdev)
                    | chmod(path.c_str(), nodes[i].st_mode & 07777),
                "cannot make " + path);
    }
    const char *const links[][2] = {{"fd", "/proc/self/fd"}, {"stdin", "/proc/self/fd/0"},
        {"stdout", "/proc/self/fd/1"}, {"stderr", "/proc/self/fd/2"}};
    for (const auto &link : links)
        check(symlink(link[1], ("/dev/" + std::string(link[0])).c_str()), "cannot make /dev");
    check(mkdir(scratch_dir, 0700), "cannot make the scratch directory");
    check(
        mount("varnex-preview", scratch_dir, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=700"),
        "cannot mount a scratch tmpfs");
    struct mount_attr attr = {};
    attr.attr_set = MOUNT_ATTR_RDONLY | MOUNT_ATTR_NOSUID;
    check(mount_setattr(AT_FDCWD, "/dev", 0, &attr, sizeof attr), "cannot make /dev read-only");
}

#if defined(__x86_64__)
#define NATIVE_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define NATIVE_AUDIT_ARCH AUDIT_ARCH_AARCH64
#elif defined(__riscv) && __riscv_xlen == 64
#define NATIVE_AUDIT_ARCH AUDIT_ARCH_RISCV64
#elif defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define NATIVE_AUDIT_ARCH AUDIT_ARCH_PPC64LE
#elif defined(__s390x__)
#define NATIVE_AUDIT_ARCH AUDIT_ARCH_S390X
#endif

// A read-only mount still lets a process connect to a socket on it, and a
// daemon behind one (D-Bus, systemd, a container engine) could change the
// host. Nothing varnex runs needs such a socket, so making one fails, and so
// does io_uring, which could make one where this filter does not look.
// Calls of another architecture's numbering (x32, i386) end the process.
bool forbid_local_sockets()
{
#ifdef NATIVE_AUDIT_ARCH
    const unsigned int low_word = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0;
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, NATIVE_AUDIT_ARCH, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 0x40000000, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0]) + low_word),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_UNIX, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EACCES),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {static_cast<unsigned short>(std::size(filter)), filter};
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
#else
    return true;
#endif
}

int run_varnex(const std::string &varnex, const std::vector<std::string> &args)
{
    std::vector<char *> argv = {const_cast<char *>(varnex.c_str())};
    std::transform(args.begin(), args.end(), std::back_inserter(argv),
        [](const std::string &arg) { return const_cast<char *>(arg.c_str()); });
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // Nothing the caller left open may lead past the sandbox. Standard
        // output is the diff's alone: varnex's, grep's lines included, joins
        // its transcript, in the order it writes them.
        close_range(3, ~0U, 0);
        if (dup2(2, 1) != 1) {
            fprintf(stderr, "varnex-preview: cannot run %s: %s\n", varnex.c_str(), strerror(errno));
            _exit(2);
        }
        // cppcheck-suppress knownConditionTrueFalse
        if (!forbid_local_sockets()) {
            fprintf(stderr, "varnex-preview: cannot forbid sockets: %s\n", strerror(errno));
            _exit(2);
        }
        execv(varnex.c_str(), argv.data());
        fprintf(stderr, "varnex-preview: cannot run %s: %s\n", varnex.c_str(), strerror(errno));
        _exit(2);
    }
    if (pid == -1)
        fail(with_errno("cannot run varnex"));
    int status = 0;
    while (waitpid(pid, &status, 0) == -1)
        if (errno != EINTR)
            fail(with_errno("cannot wait for varnex"));
    return status;
}

volatile sig_atomic_t interrupted = 0;

void note_interrupt(int signal_number)
{
    interrupted = signal_number;
}

// The first process of a PID namespace gets no signal from outside it that
// it has no handler for, so a Ctrl-C while the sandbox is being made, or
// while the diffs are, would be lost. Caught, it ends the preview as it
// would have ended varnex; exec gives the commands their default actions.
void end_if_interrupted()
{
    if (interrupted != 0)
        exit(128 + interrupted);
}

} // namespace

void run_sandbox(const std::vector<std::string> &trees, const std::string &varnex,
    const std::vector<std::string> &args, const std::string &cwd)
{
    // A signal the caller ignores stays ignored, for varnex too.
    struct sigaction action = {};
    action.sa_handler = note_interrupt;
    action.sa_flags = SA_RESTART;
    for (int signal_number : {SIGINT, SIGQUIT}) {
        struct sigaction was = {};
        if (sigaction(signal_number, nullptr, &was) == 0 && was.sa_handler != SIG_IGN)
            sigaction(signal_number, &action, nullptr);
    }
    check(unshare(CLONE_NEWNS | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWNET),
        "cannot make the sandbox's namespaces");
    // Private first: a change to a mount shared with the host reaches the host.
    check(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr),
        "cannot make the sandbox's mounts private");
    // Decided as the host has them, before the seal makes everything read-only.
    CoverPlan plan = plan_covers(gather_cover_facts(trees));
    if (!plan.refusal.empty())
        fail(plan.refusal);
    std::vector<Cover> &covers = plan.covers;
    check(mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr),
        "cannot mount the sandbox's /proc");
    // From here on, only the mounts made below can be written.
    seal_every_mount();
    replace_dev();
    take_host_views(covers);
    mount_covers(covers);
    // Relative paths must reach the overlays, not the trees beneath them.
    check(chdir(cwd.c_str()), "cannot enter " + diff_quoted(cwd));

    // The old name as varnex reads it, to point out where it hides in words.
    char old_name[256] = {};
    gethostname(old_name, sizeof old_name - 1);
    end_if_interrupted();
    if (!write_all(
            2, "varnex-preview: the rename runs in a sandbox; nothing on this machine changes.\n"))
        exit(2);
    int status = run_varnex(varnex, args);
    if (WIFSIGNALED(status))
        exit(128 + WTERMSIG(status));
    // varnex ends with 0 or 1; 2 is the child's own failure to start it.
    if (WEXITSTATUS(status) == 2)
        exit(2);
    std::string diff = diff_of_changes(covers);
    std::string closing = closing_text(diff, old_name, colour_wanted(2), WEXITSTATUS(status) == 1);
    end_if_interrupted();
    if (!write_all(1, colour_wanted(1) ? coloured_diff(diff) : diff))
        fail(with_errno("cannot write the diff"));
    if (!write_all(2, closing))
        exit(2);
    exit(WEXITSTATUS(status));
}
