// Helpers shared by the tests: temporary directories, files, and running commands.
#ifndef TESSEL_TEST_SUPPORT_H
#define TESSEL_TEST_SUPPORT_H

#include <filesystem>
#include <string>
#include <vector>

// Skips the running test, saying so, when the run lacks a privilege the test needs (mounting a
// volume, giving a file away); scripts/test.sh counts skips and allows none as root.
#define TESSEL_SKIP_WITHOUT_PRIVILEGES(what) GTEST_SKIP() << "needs privileges to " << what

namespace testsupport {

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::filesystem::path &path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::filesystem::path operator/(const std::string &name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

void writeFile(const std::filesystem::path &path, const std::string &contents);
std::string readFile(const std::filesystem::path &path);
// Deterministic bytes for a file of the given size, varied by seed.
std::string patternBytes(size_t size, unsigned seed);

struct CommandResult {
    int status;         // exit status, or -1 when the command did not exit normally
    std::string output; // standard output and standard error, interleaved
};
// Runs a shell command line.
CommandResult run(const std::string &command);
// Quotes a word for the shell.
std::string shellQuote(const std::string &word);

} // namespace testsupport

#endif
