// key_echo: the least a raw-mode line editor can do for a key: wait for standard input with
// select, read one byte, write it back to standard output. Its echo latency on a
// pseudo-terminal is the floor against which the console's echo is measured. Ends at 'q' or at
// the end of input.
#include <stdlib.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

int main()
{
    termios saved;
    bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal)
    {
        termios raw = saved;
        raw.c_lflag &= ~(tcflag_t)(ECHO | ICANON);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    // Tells the driver that the terminal is raw from here on.
    if (write(STDOUT_FILENO, ">", 1) != 1)
    {
        return 1;
    }
    for (;;)
    {
        fd_set readSet;
        FD_ZERO(&readSet);
        FD_SET(STDIN_FILENO, &readSet);
        timeval timeout = {1, 0};
        if (select(STDIN_FILENO + 1, &readSet, nullptr, nullptr, &timeout) == 0)
        {
            continue;
        }
        char key;
        if (read(STDIN_FILENO, &key, 1) != 1 || key == 'q' || write(STDOUT_FILENO, &key, 1) != 1)
        {
            break;
        }
    }
    if (terminal)
    {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
    return 0;
}
