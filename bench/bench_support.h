// What the benchmark's helpers share: big-endian fields of CDBs and diagnostic pages, and for
// the preload libraries the next definition of an interposed function and the open family's
// optional mode argument. Header-only and free of the C++ runtime, as the preloads must be.
#ifndef BENCH_SUPPORT_H
#define BENCH_SUPPORT_H

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <sys/types.h>

namespace
{

inline void Put16(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}

inline void Put24(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 16);
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)v;
}

inline void Put32(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

inline uint32_t Get32(const uint8_t* p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

template <typename F> F Next(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// The open family takes a mode only with O_CREAT or O_TMPFILE.
inline bool TakesMode(int flags)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

} // namespace

// Declares `mode`, the open family's optional argument after `flags`, in a variadic wrapper.
#define BENCH_OPEN_MODE(flags)                                                                     \
    mode_t mode = 0;                                                                               \
    if (TakesMode(flags))                                                                          \
    {                                                                                              \
        va_list ap;                                                                                \
        va_start(ap, flags);                                                                       \
        mode = (mode_t)va_arg(ap, int);                                                            \
        va_end(ap);                                                                                \
    }

#endif
