// Other programs started and waited for, the same way on every platform:
// posix_spawn on POSIX systems, CreateProcess on Windows. Nothing here forks
// without exec, so a parent with threads may start children at any time.
//
// A child can get a pipe on its standard input (the parent writes) and one
// on its standard output (the parent reads); standard error is the parent's
// unless it is merged into the output. It does not hear the terminal's
// interrupt (Ctrl-C, Ctrl-Break, the closing console window): the parent
// decides when it ends, and tells it, if at all, through its standard input.
// None of the parent's other files and pipes reach it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

struct ChildSpec {
    std::vector<std::string> argv;       // argv[0]: the program's path
    // In place of argv: a command line for the system's shell, handed over
    // as that shell reads it (/bin/sh -c COMMAND; cmd /d /s /c "COMMAND" on
    // Windows, where the shell gets a console without a window, which the
    // console programs it starts share rather than each opening one).
    std::string shell_command;
    std::vector<std::string> extra_env;  // "NAME=value", added to the parent's environment (or replacing)
    bool pipe_stdin = false;             // otherwise the null device
    bool pipe_stdout = false;            // otherwise the parent's standard output
    bool merge_stderr = false;           // standard error goes where standard output goes
    // TerminateChild ends everything the child started too: its process
    // group (POSIX), a job object it is started in (Windows).
    bool whole_tree = false;
};

// A started child and the parent's ends of its pipes, closed with it. The
// process is not waited for or ended by the destructor.
class ChildProcess {
public:
    ChildProcess();
    ~ChildProcess();
    ChildProcess(ChildProcess &&other) noexcept;
    ChildProcess &operator=(ChildProcess &&other) noexcept;
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    struct State;  // the platform's handles
    std::unique_ptr<State> state;
};

// Results of StartChild and WaitChild.
constexpr int kChildOk = 0;
constexpr int kChildNotStarted = -1;  // the program could not be started (error_text says why)
constexpr int kChildRunning = -2;     // WaitChild: still running when the time-out passed
constexpr int kChildLost = -3;        // WaitChild: no such child (never started, or waited for already)
constexpr long kChildNothingYet = -2; // ReadFromChildNow: nothing to read yet

int StartChild(const ChildSpec &spec, ChildProcess *child, std::string *error_text);

// Waits up to timeout_ms (< 0: without end) for the child to end; its exit
// status goes to exit_status (128 + the signal's number for a POSIX child
// ended by a signal), and that signal to end_signal (0 when it exited;
// always 0 on Windows).
int WaitChild(ChildProcess &child, double timeout_ms, int *exit_status, int *end_signal = nullptr);

// How a child ended, in words: "exited with status 3", "ended by signal 9
// (Killed)"; on Windows an exception's status in hex ("ended with status
// 0xC0000005").
std::string ChildEndText(int exit_status, int end_signal);

// Ends the child at once (SIGKILL; TerminateProcess), with everything it
// started when it was started as a whole tree; WaitChild collects it.
void TerminateChild(ChildProcess &child);

// All of bytes to the child's standard input; false when the child no
// longer reads it.
bool WriteToChild(ChildProcess &child, const std::string &bytes);
// Closes the child's standard input: it reads its end.
void CloseChildInput(ChildProcess &child);
// One read of the child's standard output: the bytes read, 0 at its end,
// -1 on an error. Blocks until there is something.
long ReadFromChild(ChildProcess &child, char *buffer, std::size_t size);

// The same two without waiting, for a parent that keeps its own time:
// what the child's standard input takes now (0 bytes when its pipe is
// full; -1 when the child no longer reads it), and what has come from its
// standard output (kChildNothingYet when nothing has).
long WriteToChildNow(ChildProcess &child, const char *bytes, std::size_t size);
long ReadFromChildNow(ChildProcess &child, char *buffer, std::size_t size);

// The path of the running program, for starting another copy of it; "" when
// the system does not say.
std::string OwnProgramPath();

// ---- in a child: the channel to its parent --------------------------------

// Takes the standard input and output the parent gave as a raw byte channel
// to it, and points standard output at the null device, so that what the
// program prints no longer mixes with the channel. Call once, first thing.
bool TakeParentChannel();
// One read from the parent: bytes read, 0 when the parent has closed its
// end (or ended), -1 on an error.
long ReadFromParent(char *buffer, std::size_t size);
// All of bytes to the parent; false when the parent no longer reads.
bool WriteToParent(const std::string &bytes);
// Points standard output at the file path (created or emptied; a null path:
// the null device). false when it cannot be opened: standard output is then
// the null device.
bool PointStdoutAt(const char *path);
