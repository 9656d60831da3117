#ifndef VARNEX_COMMAND_RUNNER_H
#define VARNEX_COMMAND_RUNNER_H

// Announces command on stderr, runs it through /bin/sh and returns the raw
// status from system(): an exit code n comes back as n * 256, and -1 means
// the shell could not be started or waited for.
int run_command(const char *command);

// Writes message and one more newline to stderr, then exits with status 1.
[[noreturn]] void exit_with_message(const char *message);

#endif
