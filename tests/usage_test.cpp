#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

// These runs never reach the rename, so they are safe outside a sandbox.
TEST(Usage, RefusesMissingOrInvalidNameWithUsageTextAndStatusOne)
{
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
    for (const auto &args : cases) {
        std::vector<std::string> argv = {VARNEX_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        ProcessResult result = run_process(argv);
        std::string shown = args.empty() ? "(none)" : args[0];
        EXPECT_EQ(result.err, expected_usage) << shown;
        EXPECT_EQ(result.out, "") << shown;
        EXPECT_EQ(result.status, 1) << shown;
    }
}
