// The command line read by the Windows build under Wine against the host build: a few thousand
// generated arguments (ASCII and other scripts' digit runs, wide spaces, signs, letters, long
// numbers, mode words in mixed case), each given to both as UTF-8 argv, and the pid and mode of
// their "[act]" lines compared. Wine's own audio stack is enough: the line comes before activation.
//
// CI runs HARKWIRE_WINE_DIFF_COUNT arguments (default 1000); the full form:
//   HARKWIRE_WINE_DIFF_COUNT=6000 ctest --test-dir build/host -R WineDifferential --output-on-failure
// HARKWIRE_WINE_DIFF_SEED picks another set. Skipped when wine or build/windows/harkwire.exe is absent.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <regex>
#include <thread>

#include "tests/support/process.h"
#include "tests/support/utf8.h"

namespace {

unsigned long EnvNumber(const char* name, unsigned long fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr && *text != 0 ? std::strtoul(text, nullptr, 10) : fallback;
}

const char32_t kZeros[] = {0x0030, 0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66, 0x0AE6, 0x0B66, 0x0C66,
                           0x0CE6, 0x0D66, 0x0E50, 0x0ED0, 0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10};
// Spaces (ASCII space and tab are left to the command line's own splitting and quoting tests).
const char32_t kSpaces[] = {0x0B,   0x0C,   0xA0,   0x1680, 0x2000, 0x2003, 0x2007, 0x200A,
                            0x2028, 0x2029, 0x202F, 0x205F, 0x3000, 0x0A,   0x0D,   0x09};
// Next to the classes, and letters that only a Unicode case fold would take for "exclude".
const char32_t kNear[] = {0x2F,   0x3A,   0x065F, 0x066A, 0x06EF, 0x06FA, 0xFF0F, 0xFF1A, 0x200B, 0x2030,
                          0x3001, 0x1FFF, 0x85,   0x0130, 0x212A, 0x017F, 0xFF25, 0xFF45, 0x1D7CE, 0x0E5A};

class Generator {
public:
    explicit Generator(unsigned long seed) : random_(seed) {}

    std::string ProcessIdArgument()
    {
        std::string arg;
        const int pieces = Pick(1, 5);
        for (int i = 0; i < pieces; ++i) {
            switch (Pick(0, 8)) {
            case 0: case 1: arg += Digits(Pick(1, 6), false); break;
            case 2: arg += Digits(Pick(1, 6), true); break;
            case 3: arg += Digits(Pick(9, 40), Pick(0, 1) == 1); break; // long: saturation
            case 4: arg += Utf8(kSpaces[Pick(0, std::size(kSpaces) - 1)]); break;
            case 5: arg += Pick(0, 1) ? "-" : "+"; break;
            case 6: arg += static_cast<char>("aZxX_e0+-"[Pick(0, 8)]); break;
            case 7: arg += Utf8(kNear[Pick(0, std::size(kNear) - 1)]); break;
            default: arg += Digits(1, false) + Utf8(kSpaces[Pick(0, std::size(kSpaces) - 1)]); break;
            }
        }
        return arg;
    }

    std::string ModeArgument()
    {
        static const char* const kWords[] = {"exclude", "include", "excluded", "exclud", "xexclude", "exclude "};
        std::string word = kWords[Pick(0, std::size(kWords) - 1)];
        for (char& c : word) {
            if (Pick(0, 1) == 1 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        }
        switch (Pick(0, 5)) {
        case 0: return word + Utf8(kNear[Pick(0, std::size(kNear) - 1)]);
        case 1: return Utf8(kSpaces[Pick(0, std::size(kSpaces) - 1)]) + word;
        case 2: { // one letter swapped for a look-alike
            std::string swapped = word;
            swapped.replace(static_cast<size_t>(Pick(0, static_cast<int>(word.size()) - 1)), 1,
                            Utf8(kNear[Pick(13, 17)]));
            return swapped;
        }
        default: return word;
        }
    }

    std::vector<std::string> Arguments()
    {
        std::vector<std::string> args = {ProcessIdArgument()};
        const int shape = Pick(0, 9);
        if (shape >= 3) args.push_back(ModeArgument());
        if (shape >= 8) args.push_back(Pick(0, 1) ? "exclude" : ProcessIdArgument());
        return args;
    }

private:
    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    int Pick(int low, size_t high) { return Pick(low, static_cast<int>(high)); }

    std::string Digits(int count, bool otherScript)
    {
        const char32_t zero = otherScript ? kZeros[Pick(1, std::size(kZeros) - 1)] : U'0';
        std::string s;
        for (int i = 0; i < count; ++i) s += Utf8(zero + static_cast<char32_t>(Pick(0, 9)));
        return s;
    }

    std::mt19937 random_;
};

struct ActLine {
    bool found = false;
    std::string pid, mode;
};

ActLine ParseAct(const std::string& err)
{
    static const std::regex act(R"(\[act\] activating pid=([0-9]+) mode=([a-z]+)\r?\n)");
    std::smatch m;
    if (!std::regex_search(err, m, act)) return {};
    return {true, m[1], m[2]};
}

std::string Hex(const std::vector<std::string>& args)
{
    std::string text;
    for (const std::string& a : args) {
        text += " [";
        for (unsigned char c : a) {
            char b[4];
            snprintf(b, sizeof b, "%02x", c);
            text += b;
        }
        text += "]";
    }
    return text;
}

std::string FindWine()
{
    for (const char* path : {"/usr/lib/wine/wine64", "/usr/bin/wine64", "/usr/bin/wine"}) {
        if (std::filesystem::exists(path)) return path;
    }
    return {};
}

TEST(WineDifferential, GeneratedArgumentsGiveTheSameActLineOnBothBuilds)
{
    const char* exeOverride = std::getenv("HARKWIRE_WINDOWS_EXE");
    const std::string exe = exeOverride != nullptr ? exeOverride : HARKWIRE_WINDOWS_EXE;
    const std::string wine = FindWine();
    if (!std::filesystem::exists(exe) || wine.empty()) {
        GTEST_SKIP() << "needs wine and " << exe << " (cmake --workflow --preset windows)";
    }
    const std::string prefix = HARKWIRE_WINE_DIFF_PREFIX;
    unsetenv("DISPLAY");
    const std::map<std::string, std::string> wineEnv = {
        {"WINEPREFIX", prefix},      {"WINEDEBUG", "-all"}, {"WINEARCH", "win64"},
        {"WINEDLLOVERRIDES", "mscoree,mshtml,winemenubuilder.exe=d"},
        {"LANG", "C.UTF-8"},         {"LC_ALL", "C.UTF-8"}};
    auto wineTool = [&](std::vector<std::string> argv, int seconds) {
        ProcessSpec launch;
        launch.argv = std::move(argv);
        launch.env = wineEnv;
        launch.timeout = std::chrono::seconds(seconds);
        return RunProcess(launch);
    };
    // Set-up through the shell with the streams on files: the server and the prefix's services stay
    // behind and would hold a test pipe open.
    std::string setupEnv;
    for (const auto& [name, value] : wineEnv) setupEnv += name + "='" + value + "' ";
    const std::string log = prefix + ".log";
    if (!std::filesystem::exists(prefix + "/system.reg")) {
        const std::string boot = setupEnv + "'" + wine + "' wineboot -i </dev/null >'" + log + "' 2>&1 && " +
                                 setupEnv + "wineserver -w </dev/null >>'" + log + "' 2>&1";
        ASSERT_EQ(std::system(boot.c_str()), 0) << ReadFile(log);
    }
    // One server for all runs, gone by itself 30 s after the last; the prefix's services started
    // now so that no run carries them.
    const std::string up = setupEnv + "wineserver -p30 </dev/null >>'" + log + "' 2>&1; " + setupEnv + "'" + wine +
                           "' cmd /c exit </dev/null >>'" + log + "' 2>&1";
    ASSERT_EQ(std::system(up.c_str()), 0) << ReadFile(log);

    const std::string dir = MakeTempDir("winediff");
    WriteFile(dir + "/script", "activate refuse 0x80070005\n");

    const unsigned long count = EnvNumber("HARKWIRE_WINE_DIFF_COUNT", 1000);
    const unsigned long seed = EnvNumber("HARKWIRE_WINE_DIFF_SEED", 20261211);
    Generator generator(seed);
    std::vector<std::vector<std::string>> cases(count);
    for (auto& c : cases) c = generator.Arguments();

    std::atomic<size_t> next{0}, compared{0}, excludes{0}, saturated{0}, restarts{0};
    std::mutex lock;
    std::vector<std::string> differences;
    auto worker = [&] {
        for (size_t i; (i = next++) < cases.size();) {
            const std::vector<std::string>& args = cases[i];
            std::vector<std::string> windowsArgv = {wine, exe};
            windowsArgv.insert(windowsArgv.end(), args.begin(), args.end());
            ProcessResult windows = wineTool(windowsArgv, 30);
            // A run that left not even the first line never reached the tool (Wine failed to start
            // it, about once in a few thousand runs): run it again, and count it.
            for (int again = 0; again < 2 && windows.err.find("[com] ") == std::string::npos; ++again) {
                ++restarts;
                windows = wineTool(windowsArgv, 30);
            }
            ProcessSpec host;
            host.argv = {HARKWIRE_SCRIPTED_PATH};
            host.argv.insert(host.argv.end(), args.begin(), args.end());
            host.env = {{"HARKWIRE_ENGINE_SCRIPT", dir + "/script"}};
            host.timeout = std::chrono::seconds(10);
            const ProcessResult hostRun = RunProcess(host);
            const ActLine w = ParseAct(windows.err), h = ParseAct(hostRun.err);
            if (!w.found || !h.found || w.pid != h.pid || w.mode != h.mode) {
                std::lock_guard<std::mutex> guard(lock);
                differences.push_back("args" + Hex(args) + "\n  windows (status " + std::to_string(windows.status) +
                                      ", signal " + std::to_string(windows.signal) + "): " + windows.err.substr(0, 300) +
                                      "\n  host:    " + hostRun.err.substr(0, 300));
                continue;
            }
            ++compared;
            if (h.mode == "exclude") ++excludes;
            if (h.pid == "2147483647" || h.pid == "2147483648") ++saturated;
        }
    };
    const auto started = std::chrono::steady_clock::now();
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    std::filesystem::remove_all(dir);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    printf("wine differential: %zu of %lu arguments compared in %.1f s (seed %lu; %zu exclude, %zu saturated, "
           "%zu Wine start-up retries)\n",
           compared.load(), count, seconds, seed, excludes.load(), saturated.load(), restarts.load());

    for (size_t i = 0; i < differences.size() && i < 10; ++i) ADD_FAILURE() << differences[i];
    EXPECT_TRUE(differences.empty()) << differences.size() << " arguments differ";
    EXPECT_EQ(compared.load(), count);
    // The generator reaches both modes and the saturation, or the comparison says little.
    EXPECT_GT(excludes.load(), count / 20);
    EXPECT_GT(saturated.load(), count / 50);
}

} // namespace
