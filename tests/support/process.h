// Running a harkwire binary as a child process for the tests: arguments and environment in, both
// streams and the exit status out, with signals sent while it runs.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

struct ProcessResult {
    int status = -1;         // exit status, or -1 when it ended by a signal or timed out
    int signal = 0;          // the signal that ended it, if any
    bool timedOut = false;
    std::string out;         // every byte of standard output
    std::string err;         // every byte of standard error
    // When the read end of standard output was closed (closeOutAfter reached, or end of stream),
    // and when the child's end was seen.
    std::chrono::steady_clock::time_point outClosedAt{}, endedAt{};
    long long cpuMicros = 0; // user + system CPU time of the child, from wait4's rusage
    long maxRssKb = 0;       // the child's peak resident set, from the same rusage
};

struct ProcessSpec {
    std::vector<std::string> argv;              // argv[0] is the program to run
    std::map<std::string, std::string> env;     // added to (or replacing in) the test's environment
    std::chrono::milliseconds timeout{20000};   // the child is killed after this
    // Called once the child runs, with its pid; returns when it has done what it wanted (e.g. sent
    // SIGINT after seeing the FORMAT line). It may read the streams so far through `progress`.
    std::function<void(pid_t pid, const std::function<std::string()>& errSoFar,
                       const std::function<size_t()>& outBytesSoFar)> whileRunning;
    // Close the read end of standard output after this many bytes (the reader going away); -1: never.
    long long closeOutAfter = -1;
    // Count standard output bytes without keeping them (long runs); `out` then stays empty.
    bool discardOut = false;
    // Standard error goes into the standard output pipe (2>&1), so `out` keeps the order in which
    // the child wrote to the two streams; `err` then stays empty.
    bool mergeErrIntoOut = false;
    // Called on the reading thread with every chunk of standard output as it arrives, in order
    // (e.g. a running checksum over a stream too long to keep).
    std::function<void(const char* bytes, size_t count)> onOut;
    // Signals the child starts with set to be ignored, as a shell's background job or nohup leaves
    // them; every other stop signal starts with its default action.
    std::vector<int> ignoredSignals;
};

// Runs the child to its end. Standard output and error are separate pipes.
ProcessResult RunProcess(const ProcessSpec& launch);

// Sanitizer settings for a harkwire child in sanitizer builds: no leak check at exit (the tool keeps
// its handler and library to the end by design) and no ThreadSanitizer pause at exit (it would hide
// how soon the tool ends); this process's ThreadSanitizer options are passed on.
void SetToolSanitizerOptions(ProcessSpec& launch);

// Waits until `predicate` holds or the timeout passes; true if it held.
bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);

// A fresh directory under the build tree's temp area, removed by the caller if wanted.
std::string MakeTempDir(const std::string& tag);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
