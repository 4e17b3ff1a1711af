#include "tests/process/scripted_run.h"

#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>

#include "platform/engines/scripted/engine_script.h"

ScriptedRun RunScripted(const std::string& script, ProcessSpec launch)
{
    const std::string dir = MakeTempDir("run");
    WriteFile(dir + "/script", script);
    std::vector<std::string> argv = {kScriptedBinary};
    if (launch.argv.empty()) {
        argv.push_back("1234");
    } else {
        argv.insert(argv.end(), launch.argv.begin(), launch.argv.end());
    }
    launch.argv = argv;
    launch.env["HARKWIRE_ENGINE_SCRIPT"] = dir + "/script";
    launch.env["HARKWIRE_ENGINE_RECORD"] = dir + "/record";
    SetToolSanitizerOptions(launch);

    ScriptedRun run;
    run.result = RunProcess(launch);
    std::istringstream lines(ReadFile(dir + "/record"));
    for (std::string line; std::getline(lines, line);) {
        run.record.push_back(line);
    }
    std::filesystem::remove_all(dir);

    run.trail = launch.mergeErrIntoOut ? std::string() : run.result.err;
    static const std::regex address("(\\[dll\\] ActivateAudioInterfaceAsync proc: )([^\\n]*)\\n");
    std::smatch match;
    if (std::regex_search(run.trail, match, address)) {
        const std::string digits = match[2].str();
        run.addressWellFormed = std::regex_match(digits, std::regex("[0-9A-F]{16}"));
        if (digits != "0000000000000000") {
            run.trail.replace(static_cast<size_t>(match.position(2)), digits.size(), "<addr>");
        }
    }
    return run;
}

bool LastDelivered(const std::vector<std::string>& record, DeliveredTotals* totals)
{
    for (auto it = record.rbegin(); it != record.rend(); ++it) {
        unsigned long long packets = 0, frames = 0, bytes = 0;
        char checksum[32] = {};
        if (sscanf(it->c_str(), "delivered packets=%llu frames=%llu bytes=%llu checksum=%31s", &packets, &frames,
                   &bytes, checksum) == 4) {
            *totals = DeliveredTotals{packets, frames, bytes, checksum};
            return true;
        }
    }
    return false;
}

std::string ChecksumOf(const std::string& bytes)
{
    const uint64_t hash = Fnv1a(kFnv1aStart, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    char text[24];
    snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::vector<std::string> WithoutTotals(const std::vector<std::string>& record)
{
    std::vector<std::string> kept;
    for (const std::string& line : record) {
        if (line.rfind("delivered ", 0) != 0) {
            kept.push_back(line);
        }
    }
    return kept;
}

