// A private audio server for the tests: PulseAudio, or PipeWire with its PulseAudio server, in a
// directory of its own, with one null sink. Only the processes started here are ever stopped.
#pragma once

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

#include "tests/support/process.h"

enum class ServerKind { PulseAudio, PipeWire };

class AudioServer {
public:
    AudioServer(ServerKind kind, std::string dir) : kind_(kind), dir_(std::move(dir)) {}
    ~AudioServer() { Stop(); }

    // Starts the server and waits until clients can connect; false (with Why()) if it could not.
    bool Start();
    void Stop();
    // Kills the server without warning, as a crash would.
    void Kill();
    // The environment that points clients at this server.
    std::map<std::string, std::string> Env() const;
    // Sets Env() in this process, so every child started from here inherits it.
    void Export() const;
    // Runs pactl against this server.
    ProcessResult Pactl(const std::vector<std::string>& args) const;
    const std::string& Why() const { return why_; }
    const std::string& Dir() const { return dir_; }

private:
    bool WaitReady();
    ServerKind kind_;
    std::string dir_;
    std::string why_;
    std::vector<pid_t> pids_; // in start order; stopped in reverse
};

// Starts a program with this process's environment; its standard output goes to `outFd`'s pipe
// when asked, else to /dev/null. Standard error goes to /dev/null.
pid_t Spawn(const std::vector<std::string>& argv, int* outFd = nullptr);
// Waits for a spawned process; its exit status, or -1.
int Reap(pid_t pid);
