#ifndef UNIT_SUPPORT_H
#define UNIT_SUPPORT_H

#include <stdio.h>
#include <unistd.h>

#include <string>

namespace unit
{

// Redirects descriptor 2 into a temporary file, so that a test sees exactly what a library
// wrote on standard error, until Text() is called.
class StderrCapture
{
public:
    StderrCapture()
    {
        fflush(stderr);
        file_ = tmpfile();
        saved_ = dup(STDERR_FILENO);
        dup2(fileno(file_), STDERR_FILENO);
    }
    ~StderrCapture()
    {
        Restore();
        fclose(file_);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string Text()
    {
        Restore();
        std::string text;
        rewind(file_);
        char chunk[4096];
        size_t got;
        while ((got = fread(chunk, 1, sizeof(chunk), file_)) > 0)
        {
            text.append(chunk, got);
        }
        return text;
    }

private:
    void Restore()
    {
        if (saved_ >= 0)
        {
            fflush(stderr);
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
        }
    }
    FILE* file_ = nullptr;
    int saved_ = -1;
};

} // namespace unit

#endif
