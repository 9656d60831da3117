#include "sandbox.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/keyctl.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/ioctl.h>
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
#include <utility>

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
// read-only but for the scratch tmpfs mounted inside it. No tty: this
// process's would be the caller's terminal.
void replace_dev()
{
    const char *const names[] = {"null", "zero", "full", "random", "urandom"};
    struct stat nodes[std::size(names)] = {};
    bool present[std::size(names)] = {};
    for (size_t i = 0; i < std::size(names); i++)
        present[i] = stat(("/dev/" + std::string(names[i])).c_str(), &nodes[i]) == 0
            && S_ISCHR(nodes[i].st_mode);
    check(mount("varnex-preview", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=755,size=64k"),
        "cannot replace /dev");
    for (size_t i = 0; i < std::size(names); i++) {
        std::string path = "/dev/" + std::string(names[i]);
        if (!present[i])
            continue;
        check(mknod(path.c_str(), S_IFCHR, nodes[i].st_rdev), "cannot make " + path);
        check(chmod(path.c_str(), nodes[i].st_mode & 07777), "cannot make " + path);
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

#if defined(__s390x__)
// s390x's clone takes the stack first and the flags second.
constexpr unsigned int clone_flags_arg = 1;
#else
constexpr unsigned int clone_flags_arg = 0;
#endif

// What the sandbox's processes may not do, though root of their own user
// namespace: make a socket of any family (a read-only mount does not stop a
// connect to a host daemon's socket on it, nor a datagram to journald's, and
// nothing varnex runs needs one), use io_uring, which could make one where
// this filter does not look, touch a key, or make a cgroup namespace, the
// one way to a cgroup2 mount of their own and so to cgroup.kill. clone3
// fails as if it were missing, so that the C library falls back to clone,
// whose flags the filter can read. Calls of another architecture's
// numbering (x32, i386) end the process.
bool install_filter()
{
#ifdef NATIVE_AUDIT_ARCH
    const unsigned int low_word = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0;
    std::vector<struct sock_filter> filter = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, NATIVE_AUDIT_ARCH, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 0x40000000, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
    };
    const std::pair<long, int> refused[] = {
        {__NR_socket, EACCES},
        {__NR_socketpair, EACCES},
#ifdef __NR_socketcall
        {__NR_socketcall, EACCES},
#endif
        {__NR_io_uring_setup, ENOSYS},
        {__NR_clone3, ENOSYS},
        {__NR_add_key, EACCES},
        {__NR_keyctl, EACCES},
        {__NR_request_key, EACCES},
    };
    for (const auto &[number, error] : refused) {
        filter.push_back(
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned int>(number), 0, 1));
        filter.push_back(
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned int>(error)));
    }
    const std::pair<long, unsigned int> flagged[] = {
        {__NR_unshare, 0},
        {__NR_clone, clone_flags_arg},
    };
    for (const auto &[number, arg] : flagged) {
        filter.push_back(
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned int>(number), 0, 4));
        filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
            static_cast<unsigned int>(offsetof(struct seccomp_data, args)) + 8 * arg + low_word));
        filter.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, CLONE_NEWCGROUP, 0, 1));
        filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM));
        filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    }
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    struct sock_fprog program = {static_cast<unsigned short>(filter.size()), filter.data()};
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
#else
    errno = ENOSYS;
    return false;
#endif
}

// The ids of varnex's user namespace, written from outside it: every one
// but the invalid -1 stands for itself, so that root keeps its access to
// every file and sed -i keeps owners.
// The sandbox's /proc is sealed, so the maps are written through a proc of
// its own that is never mounted anywhere varnex could find it.
bool map_identity(pid_t pid)
{
    int context = fsopen("proc", FSOPEN_CLOEXEC);
    bool made = context != -1 && fsconfig(context, FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) == 0;
    int proc = made ? fsmount(context, FSMOUNT_CLOEXEC,
                   MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV | MOUNT_ATTR_NOEXEC)
                    : -1;
    if (context != -1)
        close(context);
    bool written = proc != -1;
    for (const char *map : {"uid_map", "gid_map"}) {
        std::string path = std::to_string(pid) + "/" + map;
        int fd = written ? openat(proc, path.c_str(), O_WRONLY | O_CLOEXEC) : -1;
        const char text[] = "0 0 4294967295\n";
        written = fd != -1 && write(fd, text, sizeof text - 1) == sizeof text - 1;
        if (fd != -1)
            close(fd);
    }
    if (proc != -1)
        close(proc);
    return written;
}

volatile sig_atomic_t varnex_pid = 0;

// varnex runs as root of a user namespace of its own, in mount and UTS
// namespaces that it owns: every mount it inherits is then locked, so that
// it can neither clear the seal nor unmount a cover, and what root could do
// to the host (device nodes, modules, the clock, raw I/O) the kernel
// refuses it. It runs in a session of its own, with no terminal.
int run_varnex(const std::string &varnex, const std::vector<std::string> &args)
{
    std::vector<char *> argv = {const_cast<char *>(varnex.c_str())};
    std::transform(args.begin(), args.end(), std::back_inserter(argv),
        [](const std::string &arg) { return const_cast<char *>(arg.c_str()); });
    argv.push_back(nullptr);
    int ready[2];
    int mapped[2];
    check(pipe2(ready, O_CLOEXEC), "cannot run varnex");
    check(pipe2(mapped, O_CLOEXEC), "cannot run varnex");
    pid_t pid = fork();
    if (pid == 0) {
        char byte = 0;
        const char *step = "cannot give varnex a session of its own";
        bool done = setsid() != -1;
        if (done) {
            step = "cannot give varnex a user namespace of its own";
            done = unshare(CLONE_NEWUSER) == 0 && write(ready[1], "", 1) == 1
                && read(mapped[0], &byte, 1) == 1;
        }
        if (done) {
            step = "cannot give varnex mount and UTS namespaces of its own";
            done = unshare(CLONE_NEWNS | CLONE_NEWUTS) == 0;
        }
        // Standard output is the diff's alone: varnex's, grep's lines
        // included, joins its transcript, in the order it writes them.
        if (done) {
            step = "cannot run varnex";
            done = dup2(2, 1) == 1;
        }
        if (done) {
            close_range(3, ~0U, 0);
            execv(varnex.c_str(), argv.data());
            step = "cannot run varnex";
        }
        fprintf(stderr, "varnex-preview: %s: %s\n", step, strerror(errno));
        _exit(2);
    }
    if (pid == -1)
        fail(with_errno("cannot run varnex"));
    varnex_pid = pid;
    close(ready[1]);
    close(mapped[0]);
    char byte = 0;
    ssize_t got = 0;
    while ((got = read(ready[0], &byte, 1)) == -1 && errno == EINTR) { }
    if (got == 1) {
        if (!map_identity(pid)) {
            int error = errno;
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            errno = error;
            fail(with_errno("cannot map varnex's user namespace"));
        }
        check(write(mapped[1], "", 1) == 1 ? 0 : -1, "cannot run varnex");
    }
    close(ready[0]);
    close(mapped[1]);
    int status = wait_for(pid, "cannot wait for varnex");
    varnex_pid = 0;
    return status;
}

volatile sig_atomic_t interrupted = 0;

// varnex's session has no terminal: a Ctrl-C reaches it from here.
void note_interrupt(int signal_number)
{
    interrupted = signal_number;
    if (varnex_pid > 0)
        kill(-varnex_pid, signal_number);
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

// Where standard output or error is a pipe that the preview relays to the
// caller's terminal, what is written there is shown once the relay has read
// it, so the other stream waits: the diff after the transcript, the summary
// after the diff.
void wait_for_relay(int fd, bool relayed)
{
    int left = 0;
    for (int tries = 0; relayed && tries < 5000 && ioctl(fd, FIONREAD, &left) == 0 && left > 0;
         tries++)
        usleep(1000);
}

} // namespace

void run_sandbox(const std::vector<std::string> &trees, const std::string &varnex,
    const std::vector<std::string> &args, const std::string &cwd, const Streams &streams)
{
    // It holds nothing that varnex could reach: no descriptor but the three
    // standard ones, and no way for varnex to trace it or open its /proc
    // files.
    close_range(3, ~0U, 0);
    check(prctl(PR_SET_DUMPABLE, 0), "cannot seal the sandbox");
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
    // A new, empty session keyring, for this process and varnex: the
    // caller's keys are not theirs. Then the filter, for both.
    if (syscall(SYS_keyctl, KEYCTL_JOIN_SESSION_KEYRING, nullptr) == -1)
        fail(with_errno("cannot give the sandbox a keyring of its own"));
    if (!install_filter()) {
        if (errno == ENOSYS)
            fail("cannot preview on this architecture: it has no system call filter for it");
        fail(with_errno("cannot filter the sandbox's system calls"));
    }
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
    take_second_view_files(covers);
    std::string diff = diff_of_changes(covers);
    std::string closing
        = closing_text(diff, old_name, streams.colour_notes, WEXITSTATUS(status) == 1);
    end_if_interrupted();
    wait_for_relay(2, streams.relayed_err);
    if (!write_all(1, streams.colour_diff ? coloured_diff(diff) : diff))
        fail(with_errno("cannot write the diff"));
    wait_for_relay(1, streams.relayed_out);
    if (!write_all(2, closing))
        exit(2);
    exit(WEXITSTATUS(status));
}
