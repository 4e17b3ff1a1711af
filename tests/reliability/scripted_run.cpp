#include "tests/reliability/scripted_run.h"

#include <cstdio>
#include <csignal>
#include <filesystem>
#include <sstream>

std::string StreamChecksum::Hex() const
{
    char text[24];
    snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

std::vector<std::string> RecordLines(const std::string& record)
{
    std::vector<std::string> lines;
    std::istringstream text(record);
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    return lines;
}

DeliveredLine LastDelivered(const std::string& record)
{
    DeliveredLine delivered;
    for (const std::string& line : RecordLines(record)) {
        unsigned long long packets = 0, frames = 0, bytes = 0;
        char checksum[17] = {};
        if (sscanf(line.c_str(), "delivered packets=%llu frames=%llu bytes=%llu checksum=%16s", &packets, &frames,
                   &bytes, checksum) == 4) {
            delivered = {true, packets, frames, bytes, checksum};
        }
    }
    return delivered;
}

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

void SendBurst(pid_t pid, const std::vector<int>& signals)
{
    for (int s : signals) {
        kill(pid, s);
    }
}

bool UnderSanitizer()
{
    return kThreadSanitizer || kAddressSanitizer;
}

std::string ScriptedBinary()
{
    return HARKWIRE_SCRIPTED_PATH;
}

ScriptedRun RunScripted(const std::string& script, ProcessSpec launch, std::vector<std::string> args)
{
    const std::string dir = MakeTempDir("rel");
    const std::string scriptPath = dir + "/script";
    const std::string recordPath = dir + "/record";
    WriteFile(scriptPath, script);
    ScriptedRun run;
    launch.argv = {ScriptedBinary()};
    if (args.empty()) args = {"1234"};
    launch.argv.insert(launch.argv.end(), args.begin(), args.end());
    launch.env["HARKWIRE_ENGINE_SCRIPT"] = scriptPath;
    launch.env["HARKWIRE_ENGINE_RECORD"] = recordPath;
    SetToolSanitizerOptions(launch);
    launch.discardOut = true;
    launch.onOut = [&run](const char* bytes, size_t count) { run.out.Add(bytes, count); };
    run.result = RunProcess(launch);
    run.record = ReadFile(recordPath);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return run;
}
