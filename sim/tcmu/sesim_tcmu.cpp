// sesim-tcmu: serves a simulated enclosure behind the kernel's TCMU user backstore, so that
// programs reach it through the SCSI midlayer and the sg driver as a real /dev/sgN.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tcmu_ring.h"
#include "tcmu_session.h"

namespace
{

constexpr int kExitServingEnded = 1;
constexpr int kExitUsage = 2;

void Usage(FILE* out)
{
    fprintf(out,
            "Usage: sesim-tcmu [--ready FILE] DIR UIO_DEVICE\n"
            "Serves the simulated enclosure in DIR (made by `sesim init`) to the kernel through the\n"
            "TCMU user backstore whose uio device is UIO_DEVICE (/dev/uioN; its name in\n"
            "/sys/class/uio/uioN/name is tcm-user/HBA/BACKSTORE/CONFIG). Start it before the\n"
            "backstore is linked to a LUN: the kernel's scan sends INQUIRY at once. Runs until killed.\n"
            "  --ready FILE   create FILE once the device is mapped and commands are served\n"
            "Faults that make the initiator's adapter or ioctl fail have no counterpart on a target:\n"
            "they are answered with CHECK CONDITION, HARDWARE ERROR, LOGICAL UNIT COMMUNICATION FAILURE.\n");
}

} // namespace

int main(int argc, char** argv)
{
    std::string ready;
    std::string dir;
    std::string uio;
    for (int i = 1; i < argc; i++)
    {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
        {
            Usage(stdout);
            return 0;
        }
        if (arg == "--ready" && i + 1 < argc)
        {
            ready = argv[++i];
        }
        else if (!arg.empty() && arg[0] != '-' && dir.empty())
        {
            dir = arg;
        }
        else if (!arg.empty() && arg[0] != '-' && uio.empty())
        {
            uio = arg;
        }
        else
        {
            fprintf(stderr, "sesim-tcmu: unexpected argument '%s'\n", arg.c_str());
            Usage(stderr);
            return kExitUsage;
        }
    }
    if (dir.empty() || uio.empty())
    {
        fprintf(stderr, "sesim-tcmu: %s\n", dir.empty() ? "missing enclosure directory" : "missing uio device");
        Usage(stderr);
        return kExitUsage;
    }

    sesim::tcmu::SessionResponder responder;
    std::string why;
    if (!responder.Open(dir, &why))
    {
        fprintf(stderr, "sesim-tcmu: %s\n", why.c_str());
        return kExitUsage;
    }
    sesim::tcmu::UioDevice device;
    if (!device.Open(uio, &why))
    {
        fprintf(stderr, "sesim-tcmu: %s\n", why.c_str());
        return kExitServingEnded;
    }
    if (!ready.empty())
    {
        FILE* marker = fopen(ready.c_str(), "w");
        if (marker == nullptr)
        {
            fprintf(stderr, "sesim-tcmu: %s: %s\n", ready.c_str(), strerror(errno));
            return kExitServingEnded;
        }
        fclose(marker);
    }
    why = sesim::tcmu::Serve(device, responder);
    fprintf(stderr, "sesim-tcmu: %s\n", why.c_str());
    return kExitServingEnded;
}
