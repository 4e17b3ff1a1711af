// The C run time's start-up for the tool on this host: wide arguments for wmain, and a write to a
// gone reader that fails instead of ending the process.
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cwchar>
#include <vector>

extern "C" int wmain(int argc, wchar_t* argv[]);

int main(int argc, char* argv[])
{
    std::signal(SIGPIPE, SIG_IGN);
    // Arguments are read as UTF-8; bytes that are not fall back to one character each below.
    if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) {
        std::setlocale(LC_CTYPE, "");
    }
    std::vector<std::vector<wchar_t>> storage;
    std::vector<wchar_t*> wide;
    for (int i = 0; i < argc; ++i) {
        std::mbstate_t state{};
        const char* source = argv[i];
        size_t length = std::mbsrtowcs(nullptr, &source, 0, &state);
        std::vector<wchar_t> text;
        if (length == static_cast<size_t>(-1)) {
            // Not valid in the locale: take the bytes one for one rather than drop the argument.
            for (const char* p = argv[i]; *p != 0; ++p) {
                text.push_back(static_cast<unsigned char>(*p));
            }
        } else {
            text.resize(length + 1);
            source = argv[i];
            state = std::mbstate_t{};
            std::mbsrtowcs(text.data(), &source, length + 1, &state);
            text.resize(length);
        }
        text.push_back(0);
        storage.push_back(std::move(text));
    }
    for (auto& text : storage) {
        wide.push_back(text.data());
    }
    wide.push_back(nullptr);
    return wmain(argc, wide.data());
}
