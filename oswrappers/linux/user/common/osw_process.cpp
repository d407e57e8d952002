#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "oswrapper.h"

// A program started with a standard descriptor closed would hand that number to the next file it
// opens: a device node or an image would then receive what the program prints, or be read as its
// input. Each closed one of 0, 1 and 2 is opened on /dev/null, in order, so the lowest free
// number is always the one being filled.
OSW_STATUS OSW_OpenStandardDescriptors(void)
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++)
    {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
        {
            continue;
        }
        int opened = open("/dev/null", O_RDWR);
        if (opened < 0)
        {
            return OSW_STATUS_FAILED;
        }
        if (opened != fd)
        {
            // Only when a lower descriptor was closed meanwhile by someone else.
            int moved = dup2(opened, fd);
            close(opened);
            if (moved != fd)
            {
                return OSW_STATUS_FAILED;
            }
        }
    }
    return OSW_STATUS_SUCCESS;
}
