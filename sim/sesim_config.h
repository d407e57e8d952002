// The settings of a simulated enclosure that `sesim init` fixes (and `sesim fault` changes): its
// identity, limits, timings and armed faults, and their text form in the state directory.
#ifndef SESIM_CONFIG_H
#define SESIM_CONFIG_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace sesim
{

constexpr size_t kVendorLength = 8;
constexpr size_t kProductLength = 16;
constexpr size_t kSerialLength = 16;
constexpr int kMaxSecondarySubenclosures = 15;
constexpr int kMaxFaults = 32;
constexpr uint8_t kPeripheralTypeMax = 0x1F;
constexpr uint8_t kFirstVendorDownloadStatus = 0x70;
constexpr int kMaxSlots = 64; // the element pages stay within one 8 KiB page buffer

enum class FaultKind : uint8_t
{
    Check,         // CHECK CONDITION with chosen sense
    CheckNoSense,  // CHECK CONDITION without sense bytes
    Status,        // another SCSI status without sense
    Host,          // the host adapter fails the command
    Errno,         // the SG_IO ioctl fails
    Gone,          // the device disappears: ENODEV from here on
    Drop,          // a download data page is acknowledged but not taken
    ShortStatus,   // the page 0x0E status page comes back with a short page length
    GarbageStatus, // the page 0x0E status page is pseudo-random bytes
    Stuck,         // status reads report 0x02 for a number of reads
    BadLength,     // a READ BUFFER console response carries a wrong text length
    DlStatus,      // the download in progress ends with a chosen status code
    Gencode,       // the generation code moves on, as when another initiator changed something
};

// What becomes of the flash when its write is cut by a reset or a power cycle.
enum class FlashModel : uint8_t
{
    Dual,   // the old image stays active, the new one is lost
    Single, // no firmware is left: 0x83, and only a good image brings the enclosure back
};

enum class TriggerKind : uint8_t
{
    Command,       // cmd=N
    CommandOnward, // cmd=N+
    Block,         // block=N
    Opcode,        // op=XX
};

enum class SenseFormat : uint8_t
{
    Enclosure, // whatever the enclosure uses
    Fixed,
    Descriptor,
};

struct FaultSpec
{
    FaultKind kind = FaultKind::Check;
    TriggerKind trigger = TriggerKind::Command;
    uint32_t number = 0;   // N of cmd=N, cmd=N+, block=N
    uint8_t opcode = 0;    // XX of op=XX
    uint32_t count = 0;    // matching commands it fires on; 0 = every one
    bool after = false;    // when=after: the enclosure carries the command out, then it fails
    uint8_t senseKey = 0x04, asc = 0x44, ascq = 0x00;
    SenseFormat format = SenseFormat::Enclosure;
    uint8_t status = 0x08;  // status: value=XX
    uint8_t hostCode = 0x07; // host: code=XX (DID_ERROR)
    int errnoValue = 5;      // errno: errno=NAME (EIO)
    uint32_t length = 12;    // short-status: len=N
    uint32_t seed = 1;       // garbage-status: seed=N
    uint32_t reads = 5;      // stuck: reads=K
    uint32_t textLength = 508; // bad-length: value=N
    uint8_t downloadStatus = 0x84; // dl-status: value=XX
    uint32_t step = 1;             // gencode: step=N
};

struct Config
{
    char vendor[kVendorLength];
    char product[kProductLength];
    char serial[kSerialLength];
    uint8_t deviceType = 0x0D;
    bool encserv = true;
    uint32_t maxImageSize = 536870912;
    uint32_t busyReads = 2;
    uint32_t busyMs = 0;
    uint8_t completeStatus = 0x10;
    uint8_t deferredBusyStatus = 0x03;
    uint32_t downloadTimeoutMs = 30000;
    bool acceptAnyImage = false;
    bool offsetAlignmentCheck = true;
    uint32_t latencyUs = 0;
    bool page0e = true;
    bool readBuffer = true;
    bool descriptorSense = false;
    uint8_t secondarySubenclosures = 0;
    uint8_t slots = 12;          // array device slot elements of the primary subenclosure
    FlashModel flash = FlashModel::Dual;
    bool restartOnActivation = false; // new microcode active: the enclosure resets itself
    bool restartClearsStatus = false; // ... and its status page then reads 0x00
    bool anyOffset = false;           // reports expected offset 0xFFFFFFFF while receiving
    uint8_t bufferId = 0;             // the one buffer ID that downloads go to
    uint32_t faultCount = 0;
    FaultSpec faults[kMaxFaults];

    Config();
};

// Copies TEXT into a fixed ASCII field, space padded; false when it is too long or not
// printable ASCII.
bool SetAsciiField(char* field, size_t fieldLength, const std::string& text);
// The field without its trailing spaces.
std::string AsciiField(const char* field, size_t fieldLength);

// Fault descriptions: KIND@TRIGGER[,KEY=VALUE...]
bool ParseFault(const std::string& text, FaultSpec* fault, std::string* error);
std::string FormatFault(const FaultSpec& fault);
const char* FaultKindName(FaultKind kind);
// A fault file: one fault per line, '#' starts a comment, blank lines are skipped.
bool ParseFaultFile(const std::string& text, Config* config, std::string* error);
bool AddFault(Config* config, const FaultSpec& fault, std::string* error);

// Text form of the configuration kept in the state directory ("key value" lines).
std::string FormatConfig(const Config& config);
bool ParseConfig(const std::string& text, Config* config, std::string* error);

// Checks settings against each other (after options or a loaded file).
bool ValidateConfig(const Config& config, std::string* error);

// Parsing helpers shared with the command line.
bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value);
bool ParseHexByte(const std::string& text, uint8_t* value);
bool ParseFlashModel(const std::string& text, FlashModel* model);

} // namespace sesim

#endif
