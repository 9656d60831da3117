// Test helper: sets or prints the kernel host name byte for byte, where
// hostname(1) and /proc would refuse or cut names holding odd bytes.
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    if (argc == 3 && strcmp(argv[1], "set") == 0)
        return sethostname(argv[2], strlen(argv[2])) == 0 ? 0 : 1;
    char name[256] = {};
    if (argc == 2 && strcmp(argv[1], "get") == 0 && gethostname(name, sizeof name - 1) == 0)
        return fputs(name, stdout) < 0 ? 1 : 0;
    fputs("usage: kernel_name set NAME | get\n", stderr);
    return 2;
}
