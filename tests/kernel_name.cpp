// Test helper: sets or prints the kernel host name byte for byte, where
// hostname(1) and /proc would refuse or cut names holding odd bytes. It sets
// it only in a UTS namespace of its own, never the machine's.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

// The kernel's first UTS namespace has this fixed inode number.
constexpr ino_t first_uts_namespace = 0xEFFFFFFE;

// The machine's UTS namespace is the kernel's first one, or, in a container,
// that of the container's init, where init's can be seen at all.
bool in_own_uts_namespace()
{
    struct stat self = {}, init = {};
    if (stat("/proc/self/ns/uts", &self) != 0 || self.st_ino == first_uts_namespace)
        return false;
    return stat("/proc/1/ns/uts", &init) != 0 || self.st_dev != init.st_dev
        || self.st_ino != init.st_ino;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 3 && strcmp(argv[1], "set") == 0) {
        if (!in_own_uts_namespace()) {
            fputs("kernel_name: this is the machine's UTS namespace: not renaming it\n", stderr);
            return 3;
        }
        return sethostname(argv[2], strlen(argv[2])) == 0 ? 0 : 1;
    }
    char name[256] = {};
    if (argc == 2 && strcmp(argv[1], "get") == 0 && gethostname(name, sizeof name - 1) == 0)
        return fputs(name, stdout) < 0 ? 1 : 0;
    fputs("usage: kernel_name set NAME | get\n", stderr);
    return 2;
}
