// alloc_count: a preload library that counts the heap allocations of the process it is loaded
// into, and writes the counts when the process exits.
//
//   BENCH_ALLOC_OUT=FILE LD_PRELOAD=libbench_alloc_count.so COMMAND...
//
// FILE gets one line:
//   allocs=A frees=F reallocs=R bytes=B
// where allocs counts every call that can return new memory (malloc, calloc, realloc with a
// null pointer, the aligned forms), reallocs the other realloc calls and bytes the sum of the
// requested sizes. With BENCH_SMAPS_OUT=FILE2 the process's /proc/self/smaps at exit is copied
// there too, so the resident memory can be split by mapping.
//
// The real allocator is reached through glibc's __libc_* entry points rather than dlsym, which
// itself allocates. Nothing here allocates: the report is written with plain system calls.
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void __libc_free(void* pointer);
void* __libc_memalign(size_t alignment, size_t size);
void* __libc_valloc(size_t size);
void* __libc_pvalloc(size_t size);
}

namespace
{

std::atomic<unsigned long long> g_allocs{0};
std::atomic<unsigned long long> g_frees{0};
std::atomic<unsigned long long> g_reallocs{0};
std::atomic<unsigned long long> g_bytes{0};

const size_t kPathCapacity = 4096;
const size_t kLineCapacity = 160;
const size_t kCopyChunk = 8192;
char g_allocOut[kPathCapacity];
char g_smapsOut[kPathCapacity];

void Count(size_t size)
{
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    g_bytes.fetch_add(size, std::memory_order_relaxed);
}

void CopyPath(char* to, size_t capacity, const char* name)
{
    const char* value = getenv(name);
    to[0] = '\0';
    if (value != nullptr && strlen(value) < capacity)
    {
        strcpy(to, value);
    }
}

void WriteAll(int fd, const char* data, size_t length)
{
    while (length > 0)
    {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n <= 0)
        {
            return;
        }
        data += n;
        length -= (size_t)n;
    }
}

void CopySmaps()
{
    int in = open("/proc/self/smaps", O_RDONLY | O_CLOEXEC);
    int out = open(g_smapsOut, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in >= 0 && out >= 0)
    {
        static char chunk[kCopyChunk];
        ssize_t n;
        while ((n = read(in, chunk, sizeof(chunk))) > 0)
        {
            WriteAll(out, chunk, (size_t)n);
        }
    }
    if (in >= 0)
    {
        close(in);
    }
    if (out >= 0)
    {
        close(out);
    }
}

__attribute__((constructor)) void Start()
{
    CopyPath(g_allocOut, sizeof(g_allocOut), "BENCH_ALLOC_OUT");
    CopyPath(g_smapsOut, sizeof(g_smapsOut), "BENCH_SMAPS_OUT");
}

__attribute__((destructor)) void Report()
{
    if (g_smapsOut[0] != '\0')
    {
        CopySmaps();
    }
    if (g_allocOut[0] == '\0')
    {
        return;
    }
    char line[kLineCapacity];
    int length = snprintf(line, sizeof(line), "allocs=%llu frees=%llu reallocs=%llu bytes=%llu\n", g_allocs.load(),
                          g_frees.load(), g_reallocs.load(), g_bytes.load());
    int fd = open(g_allocOut, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0 && length > 0)
    {
        WriteAll(fd, line, (size_t)length);
        close(fd);
    }
}

} // namespace

extern "C" {

void* malloc(size_t size)
{
    Count(size);
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size)
{
    Count(count * size);
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size)
{
    if (pointer == nullptr)
    {
        Count(size);
    }
    else
    {
        g_reallocs.fetch_add(1, std::memory_order_relaxed);
    }
    return __libc_realloc(pointer, size);
}

void* reallocarray(void* pointer, size_t count, size_t size)
{
    size_t total;
    if (__builtin_mul_overflow(count, size, &total))
    {
        errno = ENOMEM;
        return nullptr;
    }
    return realloc(pointer, total);
}

void free(void* pointer)
{
    if (pointer != nullptr)
    {
        g_frees.fetch_add(1, std::memory_order_relaxed);
    }
    __libc_free(pointer);
}

void* memalign(size_t alignment, size_t size)
{
    Count(size);
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size)
{
    Count(size);
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size)
{
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0)
    {
        return EINVAL;
    }
    Count(size);
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr)
    {
        return ENOMEM;
    }
    *result = p;
    return 0;
}

void* valloc(size_t size)
{
    Count(size);
    return __libc_valloc(size);
}

void* pvalloc(size_t size)
{
    Count(size);
    return __libc_pvalloc(size);
}

} // extern "C"
