#ifndef VARNEX_PREVIEW_SYS_UTIL_H
#define VARNEX_PREVIEW_SYS_UTIL_H

#include <sys/types.h>

#include <string>
#include <string_view>

// What starts each line the preview writes of its own.
inline constexpr char message_prefix[] = "varnex-preview: ";

// Writes "varnex-preview: message" on stderr and exits with status 2.
[[noreturn]] void fail(const std::string &message);

// message, then ": " and what errno says.
std::string with_errno(const std::string &message);

// Fails with what and errno unless result is 0. One call to a check, so
// that no call runs after one failed and errno is the failed one's.
void check(int result, const std::string &what);

// Writes all of text to fd, through interruptions; false, with errno, if
// it cannot.
bool write_all(int fd, std::string_view text);

// How the child pid ended, waited for through interruptions. Fails with
// what if it cannot be waited for.
int wait_for(pid_t pid, const std::string &what);

// Copies the regular file from, below from_dir, into a new file to, below
// to_dir, that only its owner may read. A link at from is not followed and
// a FIFO not waited on: anything but a regular file is not copied. False,
// with errno, if it is not copied.
bool copy_file(int from_dir, const std::string &from, int to_dir, const std::string &to);

// Runs program with argv and env from dir, reads what it writes on its
// standard output into out, and returns how it ended; a program that cannot
// be started ends with status 127, as in the shell. Fails with what if it
// cannot be run or read.
int run_program(const char *program, char *const argv[], char *const env[], const std::string &dir,
    std::string &out, const std::string &what);

#endif
