// Ends the QEMU guest with an exit status the host can read: the isa-debug-exit device turns a
// byte written to its port into QEMU's exit status (2 * byte + 1). The result port is drained
// first, so no result line is lost in the UART's buffer when the machine stops.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/io.h>
#include <termios.h>
#include <unistd.h>

#define DEBUG_EXIT_PORT 0xf4
#define DEBUG_EXIT_PORT_WIDTH 4

int main(int argc, char** argv)
{
    if (argc != 3)
    {
        fprintf(stderr, "usage: guest_exit <result tty> <code 0-255>\n");
        return 2;
    }
    int tty = open(argv[1], O_WRONLY | O_NOCTTY);
    if (tty >= 0)
    {
        tcdrain(tty);
        close(tty);
    }
    sync();
    if (ioperm(DEBUG_EXIT_PORT, DEBUG_EXIT_PORT_WIDTH, 1) != 0)
    {
        perror("guest_exit: ioperm");
        return 1;
    }
    outb((unsigned char)strtol(argv[2], nullptr, 10), DEBUG_EXIT_PORT);
    // Only reached without the debug-exit device.
    return 1;
}
