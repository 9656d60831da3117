#ifndef VARNEX_COMMAND_RUNNER_H
#define VARNEX_COMMAND_RUNNER_H

#include <string>

// Announces command on stderr, runs it through /bin/sh and returns the raw
// status from system(): an exit code n comes back as n * 256, and -1 means
// the shell could not be started or waited for.
int run_command(const char *command);

// Writes message and one more newline to stderr, then exits with status 1.
[[noreturn]] void exit_with_message(const char *message);

// Writes line, the warning of a failed step that the rename goes on after;
// ends varnex by the signal when the user interrupted the command.
void warn_of_failure(int status, const std::string &line);

// Writes line and an empty line and exits with status 1, or ends varnex by
// the signal when the user interrupted the command.
[[noreturn]] void fail_with(int status, const std::string &line);

// Sets up what every command inherits (standard descriptors, signals, umask,
// locale), so that whatever the caller left cannot spoil them.
void prepare_for_commands();

#endif
