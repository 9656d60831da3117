#include "command_runner.h"

#include <cstdio>
#include <cstdlib>

int run_command(const char *command)
{
    // Announced before it starts, so that on a terminal the command's own
    // output follows its line.
    fprintf(stderr, "Running '%s'\n", command);
    return system(command); // NOLINT(cert-env33-c): running shell commands is this tool's job
}

void exit_with_message(const char *message)
{
    fprintf(stderr, "%s\n", message);
    exit(1);
}
