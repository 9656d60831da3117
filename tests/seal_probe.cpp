// Takes varnex's place beside a copy of varnex-preview and tries, as a
// hostile varnex would, one way out of the sandbox, named by its first
// argument; it reports "NAME: done" or "NAME: refused: why" on standard
// output. Everything it aims at is named by PROBE_* variables and is the
// test's own: a marker file, a cgroup holding a sleep, a datagram socket, a
// key, a file in a covered tree. The test also runs it outside, to set those
// up: "listen PATH", "new-session COMMAND...", "identity-userns COMMAND...".
#include <fcntl.h>
#include <linux/bpf.h>
#include <linux/keyctl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>

namespace {

// A directory that exists in the sandbox, for mounts of the probe's own.
const char spare_dir[] = "/dev/.varnex-preview";

std::string env(const char *name)
{
    const char *value = getenv(name);
    return value != nullptr ? value : "";
}

bool write_file(const std::string &path, const std::string &text, int flags = O_WRONLY)
{
    int fd = open(path.c_str(), flags | O_CLOEXEC);
    bool written = fd != -1 && write(fd, text.data(), text.size()) == ssize_t(text.size());
    if (fd != -1)
        close(fd);
    return written;
}

std::string read_file(const std::string &path)
{
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char buffer[4096];
    for (ssize_t got; fd != -1 && (got = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, size_t(got));
    if (fd != -1)
        close(fd);
    return text;
}

bool mark(const std::string &path)
{
    return write_file(path, "changed\n", O_WRONLY | O_APPEND);
}

std::string directory_of(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// The mount point that path lies under.
std::string mount_of(std::string path)
{
    for (;;) {
        struct statx st = {};
        if (path == "/"
            || (statx(AT_FDCWD, path.c_str(), 0, 0, &st) == 0
                && (st.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0))
            return path;
        path = directory_of(path);
    }
}

bool mount_fresh(const char *type)
{
    return mount(type, spare_dir, type, 0, nullptr) == 0;
}

bool send_datagram(int fd)
{
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, env("PROBE_SOCKET").c_str(), sizeof address.sun_path - 1);
    return sendto(fd, "probe", 5, 0, reinterpret_cast<sockaddr *>(&address), sizeof address) == 5;
}

bool load_bpf()
{
    struct bpf_insn program[] = {
        {BPF_ALU64 | BPF_MOV | BPF_K, 0, 0, 0, 0},
        {BPF_JMP | BPF_EXIT, 0, 0, 0, 0},
    };
    union bpf_attr attr = {};
    attr.prog_type = BPF_PROG_TYPE_TRACEPOINT;
    attr.insns = reinterpret_cast<unsigned long>(program);
    attr.insn_cnt = 2;
    attr.license = reinterpret_cast<unsigned long>("GPL");
    long fd = syscall(SYS_bpf, BPF_PROG_LOAD, &attr, sizeof attr);
    return fd >= 0;
}

bool inject_into_terminal()
{
    char c = '#';
    int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    for (int fd : {0, 1, 2, tty})
        if (fd != -1 && ioctl(fd, TIOCSTI, &c) == 0)
            return true;
    return false;
}

// Each attempt, true when it got through.
const std::map<std::string, std::function<bool()>> attempts = {
    {"remount-setattr",
        [] {
            struct mount_attr attr = {};
            attr.attr_clr = MOUNT_ATTR_RDONLY;
            std::string dir = mount_of(env("PROBE_MARKER"));
            return mount_setattr(AT_FDCWD, dir.c_str(), 0, &attr, sizeof attr) == 0
                && mark(env("PROBE_MARKER"));
        }},
    {"remount-bind",
        [] {
            std::string dir = mount_of(env("PROBE_MARKER"));
            return mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND, nullptr) == 0
                && mark(env("PROBE_MARKER"));
        }},
    {"umount-cover",
        [] {
            return umount2("/etc", MNT_DETACH) == 0
                && mount(nullptr, "/etc", nullptr, MS_REMOUNT | MS_BIND, nullptr) == 0
                && mark("/etc/hostname");
        }},
    {"block-device",
        [] {
            struct stat root = {};
            return stat("/", &root) == 0 && mount_fresh("tmpfs")
                && mknod((std::string(spare_dir) + "/disk").c_str(), S_IFBLK | 0600, root.st_dev)
                == 0;
        }},
    {"devtmpfs", [] { return mount_fresh("devtmpfs"); }},
    {"sysctl",
        [] {
            std::string path = std::string(spare_dir) + "/sys/kernel/printk_ratelimit";
            return mount_fresh("proc") && write_file(path, read_file(path));
        }},
    {"sysfs", [] { return mount_fresh("sysfs") && access(spare_dir, W_OK) == 0; }},
    {"cgroup-kill",
        [] {
            return mount_fresh("cgroup2")
                && write_file(
                    std::string(spare_dir) + "/" + env("PROBE_CGROUP") + "/cgroup.kill", "1");
        }},
    {"own-cgroup-kill",
        [] {
            return unshare(CLONE_NEWCGROUP) == 0 && mount_fresh("cgroup2")
                && write_file(std::string(spare_dir) + "/cgroup.kill", "1");
        }},
    {"bpf", load_bpf},
    {"clock",
        [] {
            struct timeval now = {};
            struct timezone zone = {};
            return gettimeofday(&now, &zone) == 0 && settimeofday(nullptr, &zone) == 0;
        }},
    {"ptrace",
        [] {
            bool traced = ptrace(PTRACE_SEIZE, 1, nullptr, nullptr) == 0;
            if (traced)
                ptrace(PTRACE_DETACH, 1, nullptr, nullptr);
            return traced;
        }},
    {"proc-fd",
        [] {
            return write_file("/proc/1/fd/" + env("PROBE_FD"), "changed\n", O_WRONLY | O_APPEND);
        }},
    {"tiocsti", inject_into_terminal},
    {"vhangup", [] { return vhangup() == 0; }},
    {"datagram",
        [] {
            int pair[2];
            return socketpair(AF_UNIX, SOCK_DGRAM, 0, pair) == 0 && send_datagram(pair[0]);
        }},
    {"netlink", [] { return socket(AF_NETLINK, SOCK_RAW, 0) >= 0; }},
    {"keyring",
        [] {
            long key = std::strtol(env("PROBE_KEY").c_str(), nullptr, 10);
            return syscall(SYS_keyctl, KEYCTL_UPDATE, key, "after", 5) == 0;
        }},
    {"control", [] { return write_file(env("PROBE_CONTROL"), "probe\n", O_WRONLY | O_APPEND); }},
};

int run(char *argv[])
{
    pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Prints each datagram that reaches path, one a line, until killed.
int listen_at(const char *path)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    if (fd == -1 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return 1;
    char buffer[256];
    for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, 0)) >= 0;)
        printf("heard %.*s\n", int(got), buffer), fflush(stdout);
    return 1;
}

// Runs the command in a new session keyring holding one key, whose number
// it gets in PROBE_KEY, then prints what the key holds.
int with_key(char *argv[])
{
    if (syscall(SYS_keyctl, KEYCTL_JOIN_SESSION_KEYRING, nullptr) == -1)
        return 1;
    long key = syscall(SYS_add_key, "user", "varnex-seal", "before", 6, KEY_SPEC_SESSION_KEYRING);
    if (key == -1)
        return 1;
    setenv("PROBE_KEY", std::to_string(key).c_str(), 1);
    int status = run(argv);
    char payload[64] = {};
    syscall(SYS_keyctl, KEYCTL_READ, key, payload, sizeof payload - 1);
    printf("key now: %s\n", payload);
    return status;
}

// Runs the command as root of a user namespace whose map reads as the
// initial one's: every id to itself.
int in_identity_userns(char *argv[])
{
    int ready[2];
    int go[2];
    if (pipe(ready) != 0 || pipe(go) != 0)
        return 1;
    pid_t pid = fork();
    if (pid == 0) {
        char byte = 0;
        close(go[1]);
        if (unshare(CLONE_NEWUSER) != 0 || write(ready[1], "", 1) != 1
            || read(go[0], &byte, 1) != 0)
            _exit(1);
        execvp(argv[0], argv);
        _exit(127);
    }
    close(ready[1]);
    close(go[0]);
    char byte = 0;
    std::string proc = "/proc/" + std::to_string(pid);
    bool mapped = read(ready[0], &byte, 1) == 1 && write_file(proc + "/uid_map", "0 0 4294967295\n")
        && write_file(proc + "/gid_map", "0 0 4294967295\n");
    close(go[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    return mapped && WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2)
        return 2;
    const std::string name = argv[1];
    if (name == "listen" && argc == 3)
        return listen_at(argv[2]);
    if (name == "new-session" && argc > 2)
        return with_key(argv + 2);
    if (name == "identity-userns" && argc > 2)
        return in_identity_userns(argv + 2);
    auto attempt = attempts.find(name);
    if (attempt == attempts.end())
        return 2;
    errno = 0;
    if (attempt->second())
        printf("%s: done\n", name.c_str());
    else
        printf("%s: refused: %s\n", name.c_str(), strerror(errno));
    return 0;
}
