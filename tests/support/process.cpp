#include "tests/support/process.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

struct Shared {
    std::mutex mutex;
    std::string out, err;
    size_t outBytes = 0;
    std::chrono::steady_clock::time_point outClosedAt{};
};

void Pump(int outFd, int errFd, Shared* shared, long long closeOutAfter, bool discardOut,
          const std::function<void(const char*, size_t)>* onOut)
{
    std::vector<pollfd> fds = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    char buffer[65536];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            ssize_t want = sizeof buffer;
            if (i == 0 && closeOutAfter >= 0) {
                std::lock_guard<std::mutex> lock(shared->mutex);
                want = std::min<ssize_t>(want, static_cast<ssize_t>(closeOutAfter - static_cast<long long>(shared->outBytes)));
            }
            const ssize_t got = want > 0 ? read(fds[i].fd, buffer, static_cast<size_t>(want)) : 0;
            if (got <= 0) {
                if (got < 0 && errno == EINTR) continue;
                if (i == 0) {
                    std::lock_guard<std::mutex> lock(shared->mutex);
                    shared->outClosedAt = std::chrono::steady_clock::now();
                }
                close(fds[i].fd);
                fds[i].fd = -1;
                continue;
            }
            if (i == 0 && *onOut) (*onOut)(buffer, static_cast<size_t>(got));
            std::lock_guard<std::mutex> lock(shared->mutex);
            if (i == 0) {
                shared->outBytes += static_cast<size_t>(got);
                if (!discardOut) shared->out.append(buffer, static_cast<size_t>(got));
            } else {
                shared->err.append(buffer, static_cast<size_t>(got));
            }
        }
    }
}

} // namespace

ProcessResult RunProcess(const ProcessSpec& launch)
{
    ProcessResult result;
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        return result;
    }
    std::vector<std::string> envText;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (launch.env.count(name) == 0) envText.push_back(entry);
    }
    for (const auto& [name, value] : launch.env) envText.push_back(name + "=" + value);
    std::vector<char*> argv, envp;
    for (const auto& a : launch.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (auto& e : envText) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(launch.mergeErrIntoOut ? outPipe[1] : errPipe[1], 2);
        const int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        // Its own process group, so a signal meant for it reaches nothing else.
        setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE}) signal(s, SIG_DFL);
        for (int s : launch.ignoredSignals) signal(s, SIG_IGN);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    Shared shared;
    std::thread pump(Pump, outPipe[0], errPipe[0], &shared, launch.closeOutAfter, launch.discardOut, &launch.onOut);

    std::thread watcher;
    if (launch.whileRunning) {
        watcher = std::thread([&] {
            launch.whileRunning(
                pid,
                [&] {
                    std::lock_guard<std::mutex> lock(shared.mutex);
                    return shared.err;
                },
                [&] {
                    std::lock_guard<std::mutex> lock(shared.mutex);
                    return shared.outBytes;
                });
        });
    }
    int status = 0;
    struct rusage usage = {};
    const auto deadline = std::chrono::steady_clock::now() + launch.timeout;
    for (;;) {
        const pid_t done = wait4(pid, &status, WNOHANG, &usage);
        if (done == pid) {
            result.endedAt = std::chrono::steady_clock::now();
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            wait4(pid, &status, 0, &usage);
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (watcher.joinable()) watcher.join();
    pump.join();
    result.out = std::move(shared.out);
    result.err = std::move(shared.err);
    result.outClosedAt = shared.outClosedAt;
    if (launch.discardOut) result.out.clear();
    result.cpuMicros = (static_cast<long long>(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1000000 +
                       usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
    result.maxRssKb = usage.ru_maxrss;
    if (WIFEXITED(status) && !result.timedOut) result.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

void SetToolSanitizerOptions(ProcessSpec& launch)
{
    launch.env["ASAN_OPTIONS"] = "detect_leaks=0:abort_on_error=1";
    const char* tsan = std::getenv("TSAN_OPTIONS");
    launch.env["TSAN_OPTIONS"] = std::string(tsan != nullptr ? tsan : "halt_on_error=1") + ":atexit_sleep_ms=0";
}

bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string MakeTempDir(const std::string& tag)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/harkwire-" + tag + "-XXXXXX";
    std::vector<char> text(pattern.begin(), pattern.end());
    text.push_back(0);
    return mkdtemp(text.data()) != nullptr ? std::string(text.data()) : std::string();
}

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}
