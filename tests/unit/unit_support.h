#ifndef UNIT_SUPPORT_H
#define UNIT_SUPPORT_H

#include <dlfcn.h>
#include <scsi/sg.h>
#include <stdarg.h>
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

// Defines the test executable's ioctl, which stands in for the C library's for the libraries
// linked into it: SG_IO goes to ANSWER, an int (int fd, sg_io_hdr_t* header) of the test, and
// every other request on to the C library.
#define UNIT_SG_IO_STAND_IN(ANSWER)                                                                \
    extern "C" int ioctl(int fd, unsigned long request, ...) noexcept                              \
    {                                                                                              \
        va_list ap;                                                                                \
        va_start(ap, request);                                                                     \
        void* argument = va_arg(ap, void*);                                                        \
        va_end(ap);                                                                                \
        if (request != SG_IO)                                                                      \
        {                                                                                          \
            using IoctlFn = int (*)(int, unsigned long, ...);                                      \
            static IoctlFn real = (IoctlFn)dlsym(RTLD_NEXT, "ioctl");                              \
            return real(fd, request, argument);                                                    \
        }                                                                                          \
        return (ANSWER)(fd, (sg_io_hdr_t*)argument);                                               \
    }

#endif
