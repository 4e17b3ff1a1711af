#include "tests/reliability/scripted_run.h"

#include <cstdio>
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

std::string ScriptedBinary()
{
    return HARKWIRE_SCRIPTED_PATH;
}

ScriptedRun RunScripted(const std::string& script, ProcessSpec spec, std::vector<std::string> args)
{
    const std::string dir = MakeTempDir("rel");
    const std::string scriptPath = dir + "/script";
    const std::string recordPath = dir + "/record";
    WriteFile(scriptPath, script);
    ScriptedRun run;
    spec.argv = {ScriptedBinary()};
    if (args.empty()) args = {"1234"};
    spec.argv.insert(spec.argv.end(), args.begin(), args.end());
    spec.env["HARKWIRE_ENGINE_SCRIPT"] = scriptPath;
    spec.env["HARKWIRE_ENGINE_RECORD"] = recordPath;
    spec.discardOut = true;
    spec.onOut = [&run](const char* bytes, size_t count) { run.out.Add(bytes, count); };
    run.result = RunProcess(spec);
    run.record = ReadFile(recordPath);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return run;
}
