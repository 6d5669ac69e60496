// Helpers shared by the tests: fresh working directories, whole-file I/O and
// running a program with its output captured.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace testing_support {

// A fresh, empty directory under /tmp, removed with everything in it when the
// object goes out of scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string &name) const;

private:
    std::string path_;
};

// Changes the working directory for the lifetime of the object.
class ScopedChdir {
public:
    explicit ScopedChdir(const std::string &dir);
    ~ScopedChdir();
    ScopedChdir(const ScopedChdir &) = delete;
    ScopedChdir &operator=(const ScopedChdir &) = delete;

private:
    std::string previous_;
};

std::string ReadFile(const std::string &path);  // whole file, binary; "" when missing
bool FileExists(const std::string &path);
void WriteFile(const std::string &path, const std::string &bytes);
void MakeDir(const std::string &path);

// The entries of a directory (name, d_reclen) in the order the builder takes
// them: "." and "..", then by name with ASCII letters folded to upper case,
// names equal when folded by their bytes.
std::vector<std::pair<std::string, int>> ListingInNameOrder(const std::string &dir);

// A program of the build directory: BuildPath("pardulo") is build/pardulo.
std::string BuildPath(const std::string &name);
// A file of the source tree: SourcePath("examples/resources").
std::string SourcePath(const std::string &relative);

struct RunResult {
    int status = -1;      // exit status, or 128 + signal number
    bool timed_out = false;
    std::string out;      // standard output
    std::string err;      // standard error
    double seconds = 0;   // wall-clock run time
};

// Runs argv[0] (a path) in working directory cwd with the environment of the
// tests plus extra_env ("NAME=value"), no standard input, both outputs
// captured. Killed after timeout_s seconds.
RunResult RunProgram(const std::vector<std::string> &argv, const std::string &cwd,
                     const std::vector<std::string> &extra_env = {}, double timeout_s = 60);

// Runs build/pardulo with args in dir, the tests' environment, no input.
RunResult RunPardulo(const TempDir &dir, const std::vector<std::string> &args, double timeout_s = 30);

// Runs body in this process and returns what it printed on standard output.
template <typename Body>
std::string Printed(Body body) {
    testing::internal::CaptureStdout();
    body();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// Splits text into lines without their line feeds.
std::vector<std::string> Lines(const std::string &text);

}  // namespace testing_support
