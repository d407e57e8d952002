// syscall_marks: a preload library that brackets every call of the C library's system call
// wrappers that the simulator's preload attachment interposes, so that a system call trace can
// tell the program's own calls from the work the attachment does on the program's behalf.
//
//   LD_PRELOAD=libbench_syscall_marks.so:<the simulator's preload> strace -o TRACE COMMAND...
//
// Around the outermost such call it makes two system calls that fail at once and stand out in
// the trace: write(-1, "bench>NAME", n) before and write(-1, "bench<NAME", n) after. The trace
// reader counts each bracket as one system call NAME of the program (on an sg node an SG_IO
// ioctl is one system call, whatever the attachment does to emulate it) and ignores the calls
// inside it. Calls made while a bracket is open (the attachment's own file I/O) are not marked.
//
// The list below must cover every C library function that the attachment exports; the
// benchmark checks that against the library's dynamic symbols before it trusts a trace.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stddef.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "bench_support.h"

namespace
{

thread_local int t_depth = 0;
const int kMarkFd = -1;
const size_t kMarkCapacity = 64;

// Keeps errno: the caller reads the wrapped call's errno after the closing mark.
void Mark(char direction, const char* name)
{
    int saved = errno;
    char text[kMarkCapacity] = "bench";
    size_t length = strlen(text);
    text[length++] = direction;
    for (size_t i = 0; name[i] != '\0' && length < sizeof(text) - 1; i++)
    {
        text[length++] = name[i];
    }
    syscall(SYS_write, kMarkFd, text, length);
    errno = saved;
}

// Brackets the outermost call; the real function is looked up once per name.
class Bracket
{
public:
    explicit Bracket(const char* name) : name_(name)
    {
        if (t_depth++ == 0)
        {
            Mark('>', name_);
        }
    }
    ~Bracket()
    {
        if (--t_depth == 0)
        {
            Mark('<', name_);
        }
    }
    Bracket(const Bracket&) = delete;
    Bracket& operator=(const Bracket&) = delete;

private:
    const char* name_;
};

// A function this C library no longer exports (the old __xstat forms) is never called by a
// program built against it; should one be, it fails as an unknown system call would.
template <typename R> R Missing()
{
    errno = ENOSYS;
    return (R)-1;
}

} // namespace

// Each wrapper: bracket, then the next definition of the same function (the attachment's, or
// the C library's for a program run without it).
#define MARKED(ret, name, params, args)                                                            \
    extern "C" ret name params                                                                       \
    {                                                                                                \
        using Fn = ret(*) params;                                                                    \
        static Fn next = Next<Fn>(#name);                                                            \
        Bracket bracket(#name);                                                                      \
        return next != nullptr ? next args : Missing<ret>();                                         \
    }

// The open family: PARAMS end in `int flags, ...`, ARGS in `flags, mode`.
#define MARKED_OPEN(name, params, args)                                                              \
    extern "C" int name params                                                                       \
    {                                                                                                \
        using Fn = int(*) params;                                                                    \
        static Fn next = Next<Fn>(#name);                                                            \
        BENCH_OPEN_MODE(flags);                                                                      \
        Bracket bracket(#name);                                                                      \
        return next != nullptr ? next args : Missing<int>();                                         \
    }

MARKED_OPEN(open, (const char* path, int flags, ...), (path, flags, mode))
MARKED_OPEN(open64, (const char* path, int flags, ...), (path, flags, mode))
MARKED_OPEN(openat, (int dirfd, const char* path, int flags, ...), (dirfd, path, flags, mode))
MARKED_OPEN(openat64, (int dirfd, const char* path, int flags, ...), (dirfd, path, flags, mode))
MARKED(int, __open_2, (const char* path, int flags), (path, flags))
MARKED(int, __open64_2, (const char* path, int flags), (path, flags))
MARKED(int, __openat_2, (int dirfd, const char* path, int flags), (dirfd, path, flags))
MARKED(int, __openat64_2, (int dirfd, const char* path, int flags), (dirfd, path, flags))
MARKED(int, close, (int fd), (fd))
MARKED(int, dup, (int fd), (fd))
MARKED(int, dup2, (int fd, int fd2), (fd, fd2))
MARKED(int, access, (const char* path, int mode), (path, mode))
MARKED(ssize_t, read, (int fd, void* buffer, size_t length), (fd, buffer, length))
MARKED(ssize_t, __read_chk, (int fd, void* buffer, size_t length, size_t capacity), (fd, buffer, length, capacity))
MARKED(ssize_t, write, (int fd, const void* buffer, size_t length), (fd, buffer, length))
MARKED(int, fstat, (int fd, struct stat* st), (fd, st))
MARKED(int, fstat64, (int fd, struct stat64* st), (fd, st))
MARKED(int, stat, (const char* path, struct stat* st), (path, st))
MARKED(int, stat64, (const char* path, struct stat64* st), (path, st))
MARKED(int, lstat, (const char* path, struct stat* st), (path, st))
MARKED(int, lstat64, (const char* path, struct stat64* st), (path, st))
MARKED(int, fstatat, (int dirfd, const char* path, struct stat* st, int flags), (dirfd, path, st, flags))
MARKED(int, fstatat64, (int dirfd, const char* path, struct stat64* st, int flags), (dirfd, path, st, flags))
MARKED(int, statx, (int dirfd, const char* path, int flags, unsigned mask, struct statx* st),
       (dirfd, path, flags, mask, st))
MARKED(int, __fxstat, (int version, int fd, struct stat* st), (version, fd, st))
MARKED(int, __fxstat64, (int version, int fd, struct stat64* st), (version, fd, st))
MARKED(int, __xstat, (int version, const char* path, struct stat* st), (version, path, st))
MARKED(int, __xstat64, (int version, const char* path, struct stat64* st), (version, path, st))
MARKED(int, scandir,
       (const char* dir, struct dirent*** list, int (*filter)(const struct dirent*),
        int (*compare)(const struct dirent**, const struct dirent**)),
       (dir, list, filter, compare))
MARKED(int, scandir64,
       (const char* dir, struct dirent64*** list, int (*filter)(const struct dirent64*),
        int (*compare)(const struct dirent64**, const struct dirent64**)),
       (dir, list, filter, compare))

// ioctl's third argument is one pointer or integer in practice.
extern "C" int ioctl(int fd, unsigned long request, ...)
{
    using Fn = int (*)(int, unsigned long, void*);
    static Fn next = Next<Fn>("ioctl");
    va_list ap;
    va_start(ap, request);
    void* argument = va_arg(ap, void*);
    va_end(ap);
    Bracket bracket("ioctl");
    return next != nullptr ? next(fd, request, argument) : Missing<int>();
}
