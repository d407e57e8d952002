#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "oswrapper.h"

namespace
{

bool IsDevNull(int fd)
{
    struct stat fdStat;
    struct stat nullStat;
    return fstat(fd, &fdStat) == 0 && stat("/dev/null", &nullStat) == 0 && fdStat.st_rdev == nullStat.st_rdev &&
           S_ISCHR(fdStat.st_mode);
}

// In a child: closes the descriptors named by the mask, then checks that the call fills exactly
// those with /dev/null and leaves the open ones alone. The exit status carries the verdict.
int RunWithClosed(unsigned closedMask)
{
    pid_t pid = fork();
    if (pid == 0)
    {
        int keep = open("/dev/zero", O_RDONLY); // a marker: an open descriptor must stay as it was
        for (int fd = 0; fd <= 2; fd++)
        {
            if (closedMask & (1u << fd))
                close(fd);
            else
                dup2(keep, fd);
        }
        int failures = OSW_OpenStandardDescriptors() == OSW_STATUS_SUCCESS ? 0 : 1;
        for (int fd = 0; fd <= 2; fd++)
        {
            bool closedBefore = (closedMask & (1u << fd)) != 0;
            if (IsDevNull(fd) != closedBefore || fcntl(fd, F_GETFD) < 0)
                failures |= 2 << fd;
        }
        _exit(failures);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(OpenStandardDescriptors, FillsEveryClosedOneAndNoOther)
{
    for (unsigned mask = 0; mask < 8; mask++)
        EXPECT_EQ(RunWithClosed(mask), 0) << "closed descriptors mask " << mask;
}

} // namespace
