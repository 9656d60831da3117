#include "command_runner.h"

#include <gtest/gtest.h>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

TEST(RunCommand, ReturnsRawWaitStatusAndAnnouncesFirst)
{
    const struct {
        const char *command;
        int status;
        const char *out;
        const char *err;
    } cases[] = {
        {"true", 0, "", "Running 'true'\n"},
        {"exit 1", 256, "", "Running 'exit 1'\n"},
        {"exit 123", 123 * 256, "", "Running 'exit 123'\n"},
        {"echo 'to out'; echo to err >&2", 0, "to out\n",
            "Running 'echo 'to out'; echo to err >&2'\nto err\n"},
    };
    for (const auto &c : cases) {
        CaptureStdout();
        CaptureStderr();
        int status = run_command(c.command);
        std::string out = GetCapturedStdout();
        std::string err = GetCapturedStderr();
        EXPECT_EQ(status, c.status) << c.command;
        EXPECT_EQ(out, c.out) << c.command;
        EXPECT_EQ(err, c.err) << c.command;
    }
}

TEST(ExitWithMessage, WritesMessageThenEmptyLineAndExitsWithOne)
{
    EXPECT_EXIT(exit_with_message("it broke.\n"), testing::ExitedWithCode(1), "^it broke.\n\n$");
}
