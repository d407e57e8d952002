// runstat: runs one command and reports the resources of that process alone.
//
//   runstat -o FILE [-p LIBRARY] [-t SLACK_NS] [-O OUTPUT] -- COMMAND [ARGS...]
//
// Writes one line to FILE:
//   wall_us=W user_us=U sys_us=S maxrss_kib=R status=X
// and ends with COMMAND's exit status (128 + N when it died from signal N).
//
// It is linked statically on purpose: a dynamic program started under `sesim run` would load
// the simulator's preload library (and its C++ runtime) too, and the forked copy that execs
// COMMAND would carry that memory into COMMAND's peak RSS (the kernel keeps the larger of the
// high-water marks before and after exec). A static program ignores LD_PRELOAD, so the copy is
// a few pages only.
//
// -p puts LIBRARY first in COMMAND's LD_PRELOAD (the allocation counter).
// -t sets the timer slack that COMMAND inherits: the simulated enclosure models its latency
//    with nanosleep in the caller's process, and the default slack of 50 us would stretch
//    every 100 us command by half again, a cost that belongs to neither program nor enclosure.
// -O sends COMMAND's standard output to OUTPUT (truncated).
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace
{

const int kExitUsage = 2;
const int kExitCannotRun = 127;
const int kSignalExitBase = 128;
const size_t kPreloadCapacity = 4096;

long long MonotonicMicroseconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

long long Microseconds(const timeval& tv)
{
    return (long long)tv.tv_sec * 1000000LL + tv.tv_usec;
}

int Usage()
{
    fprintf(stderr, "usage: runstat -o FILE [-p LIBRARY] [-t SLACK_NS] [-O OUTPUT] -- COMMAND [ARGS...]\n");
    return kExitUsage;
}

[[noreturn]] void RunChild(char** command, const char* preload, const char* output)
{
    if (preload != nullptr)
    {
        static char value[kPreloadCapacity];
        const char* previous = getenv("LD_PRELOAD");
        int n = previous != nullptr && *previous != '\0'
                    ? snprintf(value, sizeof(value), "%s:%s", preload, previous)
                    : snprintf(value, sizeof(value), "%s", preload);
        if (n < 0 || (size_t)n >= sizeof(value) || setenv("LD_PRELOAD", value, 1) != 0)
        {
            fprintf(stderr, "runstat: LD_PRELOAD too long\n");
            _exit(kExitCannotRun);
        }
    }
    if (output != nullptr)
    {
        int fd = open(output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0)
        {
            fprintf(stderr, "runstat: cannot open %s: %s\n", output, strerror(errno));
            _exit(kExitCannotRun);
        }
    }
    execvp(command[0], command);
    fprintf(stderr, "runstat: cannot run %s: %s\n", command[0], strerror(errno));
    _exit(kExitCannotRun);
}

} // namespace

int main(int argc, char** argv)
{
    const char* resultFile = nullptr;
    const char* preload = nullptr;
    const char* output = nullptr;
    long slack = -1;
    int opt;
    while ((opt = getopt(argc, argv, "+o:p:t:O:")) != -1)
    {
        switch (opt)
        {
        case 'o':
            resultFile = optarg;
            break;
        case 'p':
            preload = optarg;
            break;
        case 't':
            slack = strtol(optarg, nullptr, 10);
            break;
        case 'O':
            output = optarg;
            break;
        default:
            return Usage();
        }
    }
    if (resultFile == nullptr || optind >= argc)
    {
        return Usage();
    }
    if (slack > 0 && prctl(PR_SET_TIMERSLACK, (unsigned long)slack, 0, 0, 0) != 0)
    {
        fprintf(stderr, "runstat: cannot set the timer slack: %s\n", strerror(errno));
        return kExitUsage;
    }

    long long start = MonotonicMicroseconds();
    pid_t pid = fork();
    if (pid < 0)
    {
        fprintf(stderr, "runstat: fork: %s\n", strerror(errno));
        return kExitCannotRun;
    }
    if (pid == 0)
    {
        RunChild(argv + optind, preload, output);
    }
    int status = 0;
    rusage usage;
    memset(&usage, 0, sizeof(usage));
    while (wait4(pid, &status, 0, &usage) < 0)
    {
        if (errno != EINTR)
        {
            fprintf(stderr, "runstat: wait4: %s\n", strerror(errno));
            return kExitCannotRun;
        }
    }
    long long wall = MonotonicMicroseconds() - start;
    int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : kSignalExitBase + WTERMSIG(status);

    FILE* f = fopen(resultFile, "w");
    if (f == nullptr)
    {
        fprintf(stderr, "runstat: cannot write %s: %s\n", resultFile, strerror(errno));
        return kExitCannotRun;
    }
    fprintf(f, "wall_us=%lld user_us=%lld sys_us=%lld maxrss_kib=%ld status=%d\n", wall,
            Microseconds(usage.ru_utime), Microseconds(usage.ru_stime), usage.ru_maxrss, exitStatus);
    fclose(f);
    return exitStatus;
}
