#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_util.h"
#include "throwaway.h"

// Each run is sandboxed as a rename is: the refusal is what is under test,
// so it cannot also be what keeps this machine's name and /etc as they are.
TEST(Usage, RefusesMissingOrInvalidNameWithUsageTextAndStatusOne)
{
    if (!sandbox_unavailable_reason().empty())
        GTEST_SKIP() << sandbox_unavailable_reason();
    const std::vector<std::vector<std::string>> cases = {
        {},
        {""},
        {"-h"},
        {"--help"},
        {std::string(64, 'a')},
        {"a.b"},
        {"a.b", "/etc"},
        {"new box"},
    };
    ScratchDir base;
    std::string root = base.path() + "/t";
    std::filesystem::create_directories(root + "/etc");
    std::filesystem::create_directories(root + "/cwd");
    write_file(root + "/etc/hostname", "oldbox\n");
    write_file(root + "/etc/hosts", "127.0.1.1 oldbox\n");
    write_file(root + "/etc/app.conf", "host=oldbox\n");
    const auto before = snapshot(root);
    for (const auto &args : cases) {
        SandboxRun run = run_in_sandbox(base.path(), "oldbox", args);
        std::string shown = args.empty() ? "(none)" : args[0];
        EXPECT_EQ(run.result.err, expected_usage) << shown;
        EXPECT_EQ(run.result.out, "") << shown;
        EXPECT_EQ(run.result.status, 1) << shown;
        EXPECT_EQ(run.kernel_name, "oldbox") << shown;
        EXPECT_EQ(snapshot(root), before) << shown;
    }
}
