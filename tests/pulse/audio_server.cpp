#include "tests/pulse/audio_server.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/support/process.h"

extern char** environ;

namespace {

ProcessResult Pactl(const std::vector<std::string>& args, const std::map<std::string, std::string>& env)
{
    ProcessSpec launch;
    launch.argv = {"/usr/bin/pactl"};
    launch.argv.insert(launch.argv.end(), args.begin(), args.end());
    launch.env = env;
    launch.timeout = std::chrono::milliseconds(5000);
    return RunProcess(launch);
}

} // namespace

pid_t Spawn(const std::vector<std::string>& argv, int* outFd)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeFds[2] = {-1, -1};
    if (outFd != nullptr && pipe2(pipeFds, O_CLOEXEC) == 0) {
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (pipeFds[1] >= 0) {
        close(pipeFds[1]);
        *outFd = pipeFds[0];
    }
    return failed == 0 ? pid : -1;
}

int Reap(pid_t pid)
{
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ProcessResult AudioServer::Pactl(const std::vector<std::string>& args) const
{
    return ::Pactl(args, Env());
}

std::map<std::string, std::string> AudioServer::Env() const
{
    const std::string socket = kind_ == ServerKind::PulseAudio ? dir_ + "/native" : dir_ + "/pulse/native";
    return {{"XDG_RUNTIME_DIR", dir_},
            {"HOME", dir_}, // the cookie and any state stay in the private directory
            {"PULSE_RUNTIME_PATH", dir_ + "/pulse"},
            {"PULSE_SERVER", "unix:" + socket},
            {"DBUS_SESSION_BUS_ADDRESS", kind_ == ServerKind::PipeWire ? "unix:path=" + dir_ + "/bus" : "disabled:"}};
}

void AudioServer::Export() const
{
    for (const auto& entry : Env()) {
        setenv(entry.first.c_str(), entry.second.c_str(), 1);
    }
}

bool AudioServer::Start()
{
    Export();
    mkdir((dir_ + "/pulse").c_str(), 0700);
    if (kind_ == ServerKind::PulseAudio) {
        // Headless and as root: not a system instance, no session bus, anonymous clients on a
        // socket of its own, one null sink.
        pids_.push_back(Spawn({"pulseaudio", "-n", "--daemonize=no", "--system=false", "--exit-idle-time=-1",
                               "--use-pid-file=no", "--disable-shm=yes", "--load=module-null-sink sink_name=null",
                               "--load=module-native-protocol-unix auth-anonymous=1 socket=" + dir_ + "/native"}));
    } else {
        // WirePlumber wants a session bus; a private one lives in the same directory.
        pids_.push_back(Spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=unix:path=" + dir_ + "/bus"}));
        if (!WaitFor([this] { return access((dir_ + "/bus").c_str(), F_OK) == 0; }, std::chrono::milliseconds(3000))) {
            why_ = "dbus-daemon did not come up";
            return false;
        }
        pids_.push_back(Spawn({"pipewire"}));
        pids_.push_back(Spawn({"wireplumber"}));
        pids_.push_back(Spawn({"pipewire-pulse"}));
    }
    for (pid_t pid : pids_) {
        if (pid <= 0) {
            why_ = "could not start the server's programs";
            return false;
        }
    }
    if (!WaitReady()) {
        return false;
    }
    if (kind_ == ServerKind::PipeWire) {
        // pipewire-pulse answers before it can load modules, and the new sink takes a moment to
        // be one it can make the default ("Not supported" meanwhile).
        ProcessResult loaded, set;
        WaitFor([&] { return (loaded = Pactl({"load-module", "module-null-sink", "sink_name=null"})).status == 0; },
                std::chrono::milliseconds(5000));
        WaitFor([&] { return (set = Pactl({"set-default-sink", "null"})).status == 0; }, std::chrono::milliseconds(5000));
        if (loaded.status != 0 || set.status != 0) {
            why_ = "pactl could not add the null sink: " + loaded.err + set.err;
            return false;
        }
    }
    return true;
}

bool AudioServer::WaitReady()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    while (std::chrono::steady_clock::now() < deadline) {
        ProcessResult info = Pactl({"info"});
        if (info.status == 0) {
            return true;
        }
        why_ = "pactl info: " + info.err;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void AudioServer::Stop()
{
    for (auto it = pids_.rbegin(); it != pids_.rend(); ++it) {
        if (*it > 0) {
            kill(*it, SIGTERM);
            Reap(*it);
        }
    }
    pids_.clear();
}

void AudioServer::Kill()
{
    for (auto it = pids_.rbegin(); it != pids_.rend(); ++it) {
        if (*it > 0) {
            kill(*it, SIGKILL);
            Reap(*it);
        }
    }
    pids_.clear();
}
