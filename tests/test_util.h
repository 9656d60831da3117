#ifndef VARNEX_TEST_UTIL_H
#define VARNEX_TEST_UTIL_H

#include <string>
#include <vector>

struct ProcessResult {
    std::string out;
    std::string err;
    int status; // exit code, or 128 + signal number
};

// Runs argv[0] (looked up in PATH) with its stdin on /dev/null, and collects
// what it writes on stdout and stderr.
ProcessResult run_process(const std::vector<std::string> &argv);

// What varnex writes for every usage error: its usage text and one empty line.
extern const char expected_usage[];

// text with every occurrence of from, left to right, replaced by to.
std::string replace_all(std::string text, const std::string &from, const std::string &to);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);

// A fresh directory that is removed with everything in it when the object goes.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

#endif
