// Standard error of the test process, caught in a file for the span of one object: the tool's
// in-process lines go to descriptor 2 like the binary's.
#pragma once

#include <cstdio>
#include <string>
#include <unistd.h>

class StderrCapture {
public:
    StderrCapture()
    {
        fflush(stderr);
        file_ = tmpfile();
        saved_ = dup(2);
        dup2(fileno(file_), 2);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    ~StderrCapture() { Finish(); }

    // Restores standard error and returns everything written to it meanwhile.
    std::string Finish()
    {
        if (saved_ < 0) {
            return text_;
        }
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
        rewind(file_);
        char buffer[4096];
        for (size_t got; (got = fread(buffer, 1, sizeof buffer, file_)) > 0;) {
            text_.append(buffer, got);
        }
        fclose(file_);
        return text_;
    }

private:
    FILE* file_ = nullptr;
    int saved_ = -1;
    std::string text_;
};
