// sesim: creates, runs and inspects simulated SES enclosures.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sesim_config.h"
#include "sesim_image.h"
#include "sesim_model.h"
#include "sesim_session.h"
#include "sesim_store.h"
#include "sesim_sysfs_view.h"

namespace
{

constexpr int kExitBadUsage = 2;
constexpr int kExitCannotRun = 127;
constexpr const char* kDefaultDevice = "/dev/sesim0";
constexpr const char* kPreloadName = "libsesim_preload.so";

const char kUsage[] =
    "Usage: sesim COMMAND ...\n"
    "A simulated SES enclosure for rehearsing firmware updates and testing without hardware.\n"
    "\n"
    "Commands:\n"
    "  init DIR [options]          create an enclosure in DIR (--force replaces one there)\n"
    "  run DIR [--at PATH] -- COMMAND [ARGS...]\n"
    "                              run COMMAND with the enclosure attached at PATH\n"
    "                              (default /dev/sesim0); exits with COMMAND's status\n"
    "  run DIR DIR... -- COMMAND [ARGS...]\n"
    "                              several enclosures, at /dev/sesim0, /dev/sesim1, ...\n"
    "  show DIR                    print identity, download status and firmware images\n"
    "  mkimage --revision REV --size BYTES OUTPUT\n"
    "                              write a valid firmware image of BYTES bytes\n"
    "  fault DIR [--clear] [--fault-file FILE] [FAULT...]\n"
    "                              replace the armed faults; command numbering restarts at 1\n"
    "  power-cycle DIR             power the enclosure off and on\n"
    "  help [COMMAND], --help      this text, or one command's\n"
    "  --version                   the version of sesim\n"
    "\n"
    "Exit status: 0 on success, 2 for a bad command line or a missing or damaged enclosure\n"
    "directory; `run` exits with COMMAND's status, or 127 when COMMAND cannot be started.\n";

const char kInitUsage[] =
    "Usage: sesim init DIR [options]\n"
    "Creates an enclosure in DIR, which must be missing or empty; --force replaces an enclosure\n"
    "that is there. A directory that holds anything else is refused and left as it is.\n"
    "\n"
    "  --force                       replace the enclosure that DIR holds\n"
    "\n"
    "Identity:\n"
    "  --vendor TEXT                 T10 vendor identification, up to 8 characters (SESIM)\n"
    "  --product TEXT                product identification, up to 16 characters (SIM ENCLOSURE)\n"
    "  --serial TEXT                 unit serial number, up to 16 characters (SIM0000001)\n"
    "  --revision REV                revision of the active firmware, 4 characters (0100)\n"
    "  --device-type N               peripheral device type in INQUIRY, 0-31 (13, enclosure)\n"
    "  --encserv                     set the ENCSERV bit in INQUIRY byte 6 (the default)\n"
    "  --no-encserv                  clear it\n"
    "  --slots N                     array device slot elements, 0-64 (12)\n"
    "  --secondary-subenclosures N   secondary subenclosures, 0-15 (0)\n"
    "  --gencode N                   initial generation code (0)\n"
    "  --no-unit-attention           no power-on unit attention after init\n"
    "\n"
    "Download microcode:\n"
    "  --max-image-size BYTES        largest image taken; reported in page 0x0E (536870912)\n"
    "  --busy-reads N                status reads reporting 0x02 after the last block (2)\n"
    "  --busy-ms MS                  report 0x02 for at least MS milliseconds too (0)\n"
    "  --complete-status CODE        completion of a mode 0x07 download: 0x10, 0x11, 0x12 (0x10)\n"
    "  --deferred-busy-status CODE   storage status of a mode 0x0E download: 0x02, 0x03 (0x03)\n"
    "  --flash dual|single           a reset or power cycle during the flash write keeps the old\n"
    "                                image (dual), or leaves no firmware: 0x83 (single) (dual)\n"
    "  --restart-on-activation       the enclosure resets itself when new microcode becomes\n"
    "                                active (29/00 then 3F/01)\n"
    "  --restart-clears-status       ... and its status page then reads 0x00\n"
    "  --any-offset                  report expected offset 0xFFFFFFFF while receiving\n"
    "  --buffer-id N                 the buffer ID that downloads go to (0)\n"
    "  --download-timeout-ms MS      an incomplete download idle longer ends in 0x82;\n"
    "                                0 = never (30000)\n"
    "  --accept-any-image            take any bytes as a valid image (otherwise 0x81)\n"
    "  --no-offset-alignment-check   accept buffer offsets that are not a multiple of 4\n"
    "  --no-page-0e                  page 0x0E is neither listed nor served\n"
    "\n"
    "Console and sense:\n"
    "  --no-read-buffer              READ BUFFER is rejected (ILLEGAL REQUEST, 05/20/00)\n"
    "  --pending-output TEXT         console output pending at start; repeatable, one response\n"
    "                                each, the pending flag set on all but the last\n"
    "  --descriptor-sense            descriptor-format sense data instead of fixed format\n"
    "\n"
    "Timing and faults:\n"
    "  --latency-us N                every command takes N microseconds from its arrival (0)\n"
    "  --fault FAULT                 arm a fault (repeatable): KIND@TRIGGER[,KEY=VALUE...]\n"
    "  --fault-file FILE             arm the faults listed in FILE, one FAULT a line, # comments\n"
    "\n"
    "Fault kinds: check[,sense=KK/AA/QQ][,format=fixed|desc]  check-nosense\n"
    "  status,value=XX  host[,code=XX]  errno[,errno=NAME]  gone  drop  short-status[,len=N]\n"
    "  garbage-status[,seed=N]  stuck[,reads=K]  bad-length[,value=N]\n"
    "  dl-status[,value=XX]  gencode[,step=N]\n"
    "Triggers: cmd=N  cmd=N+  block=N  op=XX, each with an optional ,count=K\n"
    "A failure with ,when=after comes once the enclosure has carried the command out.\n";

const char kRunUsage[] =
    "Usage: sesim run DIR [--at PATH] -- COMMAND [ARGS...]\n"
    "       sesim run DIR DIR... -- COMMAND [ARGS...]\n"
    "Runs COMMAND with the enclosure in DIR attached at PATH (default /dev/sesim0): the path\n"
    "behaves like a SCSI generic (sg) node in COMMAND and every process it starts. Several\n"
    "enclosures (at most 8) are attached at /dev/sesim0, /dev/sesim1, ... in the order given.\n"
    "Every attached enclosure is also listed in /sys/class/scsi_generic as sgN and answers at\n"
    "/dev/sgN, numbered in the same order (an enclosure attached at /dev/sgN keeps N); the\n"
    "host's own sg and bsg nodes cannot be opened inside the run.\n"
    "Exit status: COMMAND's own; 2 when DIR is not a valid enclosure or the command line is bad;\n"
    "127 when COMMAND cannot be started.\n";

const char kShowUsage[] =
    "Usage: sesim show DIR\n"
    "Prints the enclosure's identity, download status, unit attention and firmware images\n"
    "(revision, size and SHA-256 of the active and the deferred image), one 'key: value' a line.\n";

const char kMkimageUsage[] =
    "Usage: sesim mkimage --revision REV --size BYTES OUTPUT\n"
    "Writes a valid firmware image of exactly BYTES bytes (at least 20): the magic SESIMG01, the\n"
    "4-character revision, the payload length, a payload derived from the revision, and a CRC-32.\n";

const char kFaultUsage[] =
    "Usage: sesim fault DIR [--clear] [--fault-file FILE] [FAULT...]\n"
    "Replaces the armed faults with the ones given (none with --clear or without any) and\n"
    "restarts the command and block numbering at 1. See `sesim init --help` for FAULT.\n";

const char kPowerCycleUsage[] =
    "Usage: sesim power-cycle DIR\n"
    "Powers the enclosure off and on: an incomplete download is lost, firmware waiting for\n"
    "activation becomes active, the console is emptied, and a unit attention is established\n"
    "(3F/01 when the firmware changed, else 29/00).\n";

int Fail(const std::string& message)
{
    fprintf(stderr, "sesim: %s\n", message.c_str());
    return kExitBadUsage;
}

bool IsHelp(const std::string& arg)
{
    return arg == "--help" || arg == "-h";
}

int PrintUsage(const char* text)
{
    fputs(text, stdout);
    return 0;
}

std::string ExecutableDirectory()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0)
    {
        return "";
    }
    path[n] = '\0';
    std::string p = path;
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

// The preload library: beside the build tree's bin/ (build/lib/), or where an installation puts
// it (lib/sesim/ or lib/<multiarch>/sesim/ next to bin/). SESIM_PRELOAD names it explicitly.
std::string FindPreload()
{
    const char* explicitPath = getenv("SESIM_PRELOAD");
    if (explicitPath != nullptr && *explicitPath != '\0')
    {
        return access(explicitPath, R_OK) == 0 ? explicitPath : "";
    }
    std::string bin = ExecutableDirectory();
    std::vector<std::string> candidates = {bin + "/../lib/" + kPreloadName, bin + "/../lib/sesim/" + kPreloadName};
#ifdef SESIM_MULTIARCH
    candidates.push_back(bin + "/../lib/" SESIM_MULTIARCH "/sesim/" + kPreloadName);
#endif
    for (const std::string& c : candidates)
    {
        char resolved[PATH_MAX];
        if (realpath(c.c_str(), resolved) != nullptr && access(resolved, R_OK) == 0)
        {
            return resolved;
        }
    }
    return "";
}

std::string Absolute(const std::string& path)
{
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr)
    {
        return resolved;
    }
    return path;
}

bool ReadWholeFile(const std::string& path, std::string* text, std::string* error)
{
    if (!sesim::ReadTextFile(path, text))
    {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

int Init(const std::vector<std::string>& args)
{
    if (!args.empty() && IsHelp(args[0]))
    {
        return PrintUsage(kInitUsage);
    }
    if (args.empty() || args[0].empty() || args[0][0] == '-')
    {
        return Fail("init: missing enclosure directory (see sesim init --help)");
    }
    const std::string& dir = args[0];
    sesim::Config config;
    sesim::InitialState initial;
    bool force = false;
    std::string error;
    // Flags without a value, and the setting each gives.
    const struct
    {
        const char* name;
        bool* setting;
        bool value;
    } flags[] = {
        {"--encserv", &config.encserv, true},
        {"--no-encserv", &config.encserv, false},
        {"--restart-on-activation", &config.restartOnActivation, true},
        {"--restart-clears-status", &config.restartClearsStatus, true},
        {"--any-offset", &config.anyOffset, true},
        {"--force", &force, true},
        {"--accept-any-image", &config.acceptAnyImage, true},
        {"--no-offset-alignment-check", &config.offsetAlignmentCheck, false},
        {"--no-page-0e", &config.page0e, false},
        {"--no-read-buffer", &config.readBuffer, false},
        {"--descriptor-sense", &config.descriptorSense, true},
        {"--no-unit-attention", &initial.unitAttention, false},
    };
    for (size_t i = 1; i < args.size(); i++)
    {
        const std::string& opt = args[i];
        if (IsHelp(opt))
        {
            return PrintUsage(kInitUsage);
        }
        bool isFlag = false;
        for (const auto& flag : flags)
        {
            if (opt == flag.name)
            {
                *flag.setting = flag.value;
                isFlag = true;
            }
        }
        if (isFlag)
        {
            continue;
        }
        if (opt.compare(0, 2, "--") != 0)
        {
            return Fail("init: unexpected argument '" + opt + "'");
        }
        if (i + 1 >= args.size())
        {
            return Fail("init: option " + opt + " needs a value");
        }
        const std::string& value = args[++i];
        uint64_t v = 0;
        bool ok = true;
        if (opt == "--vendor")
            ok = sesim::SetAsciiField(config.vendor, sesim::kVendorLength, value);
        else if (opt == "--product")
            ok = sesim::SetAsciiField(config.product, sesim::kProductLength, value);
        else if (opt == "--serial")
            ok = sesim::SetAsciiField(config.serial, sesim::kSerialLength, value);
        else if (opt == "--revision")
        {
            ok = sesim::ValidRevision(value);
            if (ok)
                memcpy(initial.revision, value.data(), sesim::kRevisionLength);
        }
        else if (opt == "--device-type")
            ok = sesim::ParseUnsigned(value, sesim::kPeripheralTypeMax, &v), config.deviceType = (uint8_t)v;
        else if (opt == "--max-image-size")
            ok = sesim::ParseUnsigned(value, UINT32_MAX, &v) && v > 0, config.maxImageSize = (uint32_t)v;
        else if (opt == "--busy-reads")
            ok = sesim::ParseUnsigned(value, UINT32_MAX, &v), config.busyReads = (uint32_t)v;
        else if (opt == "--busy-ms")
            ok = sesim::ParseUnsigned(value, UINT32_MAX, &v), config.busyMs = (uint32_t)v;
        else if (opt == "--complete-status")
            ok = sesim::ParseUnsigned(value, 0xFF, &v) && v >= 0x10 && v <= 0x12, config.completeStatus = (uint8_t)v;
        else if (opt == "--deferred-busy-status")
            ok = sesim::ParseUnsigned(value, 0xFF, &v) && (v == 0x02 || v == 0x03),
            config.deferredBusyStatus = (uint8_t)v;
        else if (opt == "--download-timeout-ms")
            ok = sesim::ParseUnsigned(value, UINT32_MAX, &v), config.downloadTimeoutMs = (uint32_t)v;
        else if (opt == "--latency-us")
            ok = sesim::ParseUnsigned(value, 10000000, &v), config.latencyUs = (uint32_t)v;
        else if (opt == "--secondary-subenclosures")
            ok = sesim::ParseUnsigned(value, sesim::kMaxSecondarySubenclosures, &v),
            config.secondarySubenclosures = (uint8_t)v;
        else if (opt == "--slots")
            ok = sesim::ParseUnsigned(value, sesim::kMaxSlots, &v), config.slots = (uint8_t)v;
        else if (opt == "--flash")
            ok = sesim::ParseFlashModel(value, &config.flash);
        else if (opt == "--buffer-id")
            ok = sesim::ParseUnsigned(value, 0xFF, &v), config.bufferId = (uint8_t)v;
        else if (opt == "--gencode")
            ok = sesim::ParseUnsigned(value, UINT32_MAX, &v), initial.generationCode = (uint32_t)v;
        else if (opt == "--pending-output")
            initial.pendingOutput.push_back(value);
        else if (opt == "--fault")
        {
            sesim::FaultSpec fault;
            if (!sesim::ParseFault(value, &fault, &error) || !sesim::AddFault(&config, fault, &error))
            {
                return Fail("init: " + error);
            }
        }
        else if (opt == "--fault-file")
        {
            std::string text;
            if (!ReadWholeFile(value, &text, &error) || !sesim::ParseFaultFile(text, &config, &error))
            {
                return Fail("init: " + value + ": " + error);
            }
        }
        else
        {
            return Fail("init: unknown option " + opt + " (see sesim init --help)");
        }
        if (!ok)
        {
            return Fail("init: invalid value '" + value + "' for " + opt + " (see sesim init --help)");
        }
    }
    if (!sesim::ValidateConfig(config, &error) || !sesim::Store::Create(dir, config, initial, force, &error))
    {
        return Fail("init: " + error);
    }
    return 0;
}

int Run(const std::vector<std::string>& args)
{
    if (!args.empty() && IsHelp(args[0]))
    {
        return PrintUsage(kRunUsage);
    }
    if (args.empty() || args[0] == "--")
    {
        return Fail("run: missing enclosure directory (see sesim run --help)");
    }
    std::vector<std::string> dirs = {args[0]};
    std::string device = kDefaultDevice;
    bool deviceGiven = false;
    size_t i = 1;
    for (; i < args.size() && args[i] != "--"; i++)
    {
        if (IsHelp(args[i]))
        {
            return PrintUsage(kRunUsage);
        }
        if (args[i] == "--at" && i + 1 < args.size())
        {
            device = args[++i];
            deviceGiven = true;
            if (device.empty() || device[0] != '/' || device.find_first_of("=\n") != std::string::npos)
            {
                return Fail("run: the device path must be absolute and hold no '=' or newline");
            }
            continue;
        }
        if (!args[i].empty() && args[i][0] != '-')
        {
            dirs.push_back(args[i]);
            continue;
        }
        return Fail("run: unexpected argument '" + args[i] + "' (expected DIR, --at PATH or --)");
    }
    if (i >= args.size() || i + 1 >= args.size())
    {
        return Fail("run: missing -- COMMAND (see sesim run --help)");
    }
    if (deviceGiven && dirs.size() > 1)
    {
        return Fail("run: --at names the path of a single enclosure; several are attached at /dev/sesim0, "
                    "/dev/sesim1, ...");
    }
    std::vector<std::string> command(args.begin() + (long)i + 1, args.end());
    // Nested runs attach several enclosures: each adds its own lines, and several enclosures of
    // one run are numbered after those already attached.
    const char* previous = getenv("SESIM_ATTACH");
    std::string attach = previous != nullptr ? previous : "";
    size_t attached = attach.empty() ? 0 : (size_t)std::count(attach.begin(), attach.end(), '\n') + 1;
    if (attached + dirs.size() > (size_t)sesim::kMaxAttachedEnclosures)
    {
        return Fail("run: at most " + std::to_string(sesim::kMaxAttachedEnclosures) +
                    " enclosures can be attached at once");
    }
    for (size_t k = 0; k < dirs.size(); k++)
    {
        sesim::Store probe;
        std::string error;
        if (!probe.Open(dirs[k], &error))
        {
            return Fail("run: " + error);
        }
        std::string absoluteDir = Absolute(dirs[k]);
        if (absoluteDir.find('\n') != std::string::npos)
        {
            return Fail("run: the enclosure directory name holds a newline");
        }
        std::string path = dirs.size() == 1 ? device : "/dev/sesim" + std::to_string(attached + k);
        attach += (attach.empty() ? "" : "\n") + path + "=" + absoluteDir;
    }
    std::string preload = FindPreload();
    if (preload.empty())
    {
        return Fail(std::string("run: cannot find ") + kPreloadName + " (looked beside " + ExecutableDirectory() +
                    "/../lib; set SESIM_PRELOAD)");
    }
    std::string ldPreload = preload;
    const char* previousPreload = getenv("LD_PRELOAD");
    if (previousPreload != nullptr && *previousPreload != '\0')
    {
        std::string p = previousPreload;
        ldPreload = p.find(preload) != std::string::npos ? p : preload + ":" + p;
    }
    // A sanitized program accepts a preload library ahead of its runtime only when told so.
    std::string asan = "verify_asan_link_order=0";
    const char* previousAsan = getenv("ASAN_OPTIONS");
    if (previousAsan != nullptr && *previousAsan != '\0')
    {
        std::string p = previousAsan;
        asan = p.find("verify_asan_link_order") != std::string::npos ? p : p + ":" + asan;
    }
    setenv("SESIM_ATTACH", attach.c_str(), 1);
    setenv("LD_PRELOAD", ldPreload.c_str(), 1);
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    std::vector<char*> argv;
    for (std::string& a : command)
    {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    fflush(stdout);
    execvp(argv[0], argv.data());
    fprintf(stderr, "sesim: run: cannot run %s: %s\n", argv[0], strerror(errno));
    return kExitCannotRun;
}

std::string Hex2(unsigned v)
{
    char text[8];
    snprintf(text, sizeof(text), "0x%02x", v & 0xFF);
    return text;
}

std::string ImageLine(const sesim::Store& store, const sesim::ImageInfo& image)
{
    if (image.id == 0)
    {
        return "none";
    }
    std::string sha = sesim::Sha256FileHex(store.ImagePath(image.id));
    return "revision " + std::string(image.revision, sesim::kRevisionLength) + " size " + std::to_string(image.size) +
           " sha256 " + (sha.empty() ? "unreadable" : sha);
}

int Show(const std::vector<std::string>& args)
{
    if (!args.empty() && IsHelp(args[0]))
    {
        return PrintUsage(kShowUsage);
    }
    if (args.size() != 1)
    {
        return Fail("show: expected one enclosure directory (see sesim show --help)");
    }
    sesim::Store store;
    std::string error;
    if (!store.Open(args[0], &error))
    {
        return Fail("show: " + error);
    }
    static sesim::State state;
    if (!store.Lock() || !store.Load(&state, true))
    {
        store.Unlock();
        return Fail("show: " + args[0] + "/state holds no valid enclosure state");
    }
    store.Unlock();
    // Show the enclosure as the next initiator would find it (a timeout that fell due, a storage
    // phase whose time is over). Nothing is written back.
    sesim::Model model(store.config(), store);
    sesim::Released ignored{};
    model.Settle(state, sesim::RealtimeNs(), ignored);
    const sesim::Config& c = store.config();
    uint8_t additional = 0;
    uint8_t status = model.PeekDownloadStatus(state, 0, &additional);
    uint32_t expected =
        state.download.phase == sesim::DownloadPhase::Receiving && state.download.subenclosure == 0
            ? state.download.expectedOffset
            : 0;
    std::string ua = sesim::UnitAttentionText(state);
    std::string slots;
    for (int i = 0; i < c.slots; i++)
    {
        slots += (i > 0 ? ", " : "") + sesim::SlotName(i);
    }
    printf("vendor: %s\n", sesim::AsciiField(c.vendor, sesim::kVendorLength).c_str());
    printf("product: %s\n", sesim::AsciiField(c.product, sesim::kProductLength).c_str());
    printf("revision: %.4s\n", state.active.revision);
    printf("device type: %s\n", Hex2(c.deviceType).c_str());
    printf("download status: %s\n", Hex2(status).c_str());
    printf("additional status: %s\n", Hex2(additional).c_str());
    printf("expected offset: %u\n", expected);
    printf("generation code: %u\n", state.generationCode);
    printf("unit attention: %s\n", ua.c_str());
    printf("active image: %s\n",
           state.needsImage ? "none (flash write cut; a good image must be downloaded)"
                            : ImageLine(store, state.active).c_str());
    printf("deferred image: %s\n", ImageLine(store, state.pending).c_str());
    printf("commands: %llu\n", (unsigned long long)state.commandCount);
    printf("array device slots: %u\n", c.slots);
    printf("slot names: %s\n", slots.empty() ? "none" : slots.c_str());
    return 0;
}

int Mkimage(const std::vector<std::string>& args)
{
    std::string revision, output;
    uint64_t size = 0;
    bool haveSize = false;
    for (size_t i = 0; i < args.size(); i++)
    {
        if (IsHelp(args[i]))
        {
            return PrintUsage(kMkimageUsage);
        }
        if (args[i] == "--revision" && i + 1 < args.size())
        {
            revision = args[++i];
            if (!sesim::ValidRevision(revision))
            {
                return Fail("mkimage: the revision must be 4 printable characters");
            }
        }
        else if (args[i] == "--size" && i + 1 < args.size())
        {
            if (!sesim::ParseUnsigned(args[++i], UINT32_MAX, &size) || size < sesim::kImageMinLength)
            {
                return Fail("mkimage: the size must be from 20 to 4294967295 bytes");
            }
            haveSize = true;
        }
        else if (args[i].compare(0, 2, "--") == 0 || !output.empty())
        {
            return Fail("mkimage: unexpected argument '" + args[i] + "' (see sesim mkimage --help)");
        }
        else
        {
            output = args[i];
        }
    }
    if (revision.empty() || !haveSize || output.empty())
    {
        return Fail("mkimage: --revision, --size and OUTPUT are required (see sesim mkimage --help)");
    }
    std::string error;
    if (!sesim::WriteImageFile(output, revision.data(), size, &error))
    {
        return Fail("mkimage: " + error);
    }
    return 0;
}

int Fault(const std::vector<std::string>& args)
{
    if (!args.empty() && IsHelp(args[0]))
    {
        return PrintUsage(kFaultUsage);
    }
    if (args.empty())
    {
        return Fail("fault: missing enclosure directory (see sesim fault --help)");
    }
    sesim::Store store;
    std::string error;
    if (!store.Open(args[0], &error))
    {
        return Fail("fault: " + error);
    }
    sesim::Config config = store.config();
    config.faultCount = 0;
    for (size_t i = 1; i < args.size(); i++)
    {
        if (IsHelp(args[i]))
        {
            return PrintUsage(kFaultUsage);
        }
        if (args[i] == "--clear")
        {
            config.faultCount = 0;
            continue;
        }
        if (args[i] == "--fault-file" && i + 1 < args.size())
        {
            std::string text;
            const std::string& file = args[++i];
            if (!ReadWholeFile(file, &text, &error) || !sesim::ParseFaultFile(text, &config, &error))
            {
                return Fail("fault: " + file + ": " + error);
            }
            continue;
        }
        sesim::FaultSpec fault;
        if (!sesim::ParseFault(args[i], &fault, &error) || !sesim::AddFault(&config, fault, &error))
        {
            return Fail("fault: " + error);
        }
    }
    static sesim::State state;
    if (!store.Lock() || !store.Load(&state, true))
    {
        store.Unlock();
        return Fail("fault: " + args[0] + "/state holds no valid enclosure state");
    }
    if (!store.WriteConfig(config, &error))
    {
        store.Unlock();
        return Fail("fault: " + error);
    }
    state.configGeneration++;
    state.commandCount = 0;
    state.blockCount = 0;
    memset(state.faultFired, 0, sizeof(state.faultFired));
    state.gone = 0;
    state.stuckReads = 0;
    store.Save(state);
    store.Unlock();
    return 0;
}

int PowerCycle(const std::vector<std::string>& args)
{
    if (!args.empty() && IsHelp(args[0]))
    {
        return PrintUsage(kPowerCycleUsage);
    }
    if (args.size() != 1)
    {
        return Fail("power-cycle: expected one enclosure directory (see sesim power-cycle --help)");
    }
    sesim::Store store;
    std::string error;
    if (!store.Open(args[0], &error))
    {
        return Fail("power-cycle: " + error);
    }
    static sesim::State state;
    if (!store.Lock() || !store.Load(&state, true))
    {
        store.Unlock();
        return Fail("power-cycle: " + args[0] + "/state holds no valid enclosure state");
    }
    sesim::Model model(store.config(), store);
    sesim::Released released{};
    model.Reset(state, sesim::ResetKind::PowerCycle, sesim::RealtimeNs(), released);
    store.Save(state);
    store.RemoveImages(released);
    store.Unlock();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
    {
        fputs(kUsage, stderr);
        return kExitBadUsage;
    }
    std::string command = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "--version")
    {
        printf("sesim version %s\n", SESMAINT_VERSION);
        return 0;
    }
    if (IsHelp(command) || command == "help")
    {
        if (command == "help" && !rest.empty())
        {
            std::vector<std::string> help = {"--help"};
            command = rest[0];
            rest = help;
        }
        else
        {
            return PrintUsage(kUsage);
        }
    }
    if (command == "init")
        return Init(rest);
    if (command == "run")
        return Run(rest);
    if (command == "show")
        return Show(rest);
    if (command == "mkimage")
        return Mkimage(rest);
    if (command == "fault")
        return Fault(rest);
    if (command == "power-cycle")
        return PowerCycle(rest);
    return Fail("unknown command '" + command + "' (see sesim --help)");
}
