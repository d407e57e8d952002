// The simulated SES enclosure: one SCSI command in (CDB and data-out bytes), status, sense,
// data-in bytes and residual out. The model does no I/O of its own: its state is a plain record
// that the caller keeps (see sesim_store.h), firmware image bytes go through a Backing, and the
// time comes in with every call.
#ifndef SESIM_MODEL_H
#define SESIM_MODEL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "sesim_config.h"
#include "sesim_image.h"

namespace sesim
{

constexpr uint32_t kStateMagic = 0x5345534Du; // "SESM"
constexpr uint32_t kStateVersion = 2;
constexpr int kMaxSubenclosures = 1 + kMaxSecondarySubenclosures;
constexpr size_t kConsoleOutCapacity = 2048;
constexpr int kConsoleMaxBreaks = 16;
constexpr size_t kSenseCapacity = 96; // the sense buffer size of the Linux SCSI midlayer
constexpr size_t kMaxCdbLength = 32;  // the largest CDB the sg driver passes to a device
constexpr size_t kNoteCapacity = 192;
constexpr int kMaxReleasedImages = 4;
constexpr int kMaxUnitAttentions = 4;

enum class PendingKind : uint8_t
{
    None,
    Deferred,     // mode 0x0E download: activation request, hard reset or power on
    AfterReset,   // status 0x11: hard reset or power on
    AfterPowerOn, // status 0x12: power on only
};

enum class DownloadPhase : uint8_t
{
    Idle,
    Receiving, // status 0x01
    Storing,   // status 0x02 or 0x03, then the completion code
};

enum class ConsoleJob : uint8_t
{
    None,
    Log,   // `log N`: lines produced as they are read
    Sleep, // `sleep MS`: pending, empty responses until the time has passed
};

// Firmware image held by the enclosure; id 0 means none. The bytes are in the store under the id.
struct ImageInfo
{
    uint32_t id;
    uint32_t size;
    char revision[kRevisionLength];
};

struct DownloadState
{
    DownloadPhase phase;
    uint8_t subenclosure;
    uint8_t mode;
    uint8_t finalStatus; // Storing: the code reported when the phase ends
    uint32_t imageLength;
    uint32_t expectedOffset;
    uint32_t imageId;
    uint32_t crcRegister; // over image bytes [0, imageLength - 4)
    uint8_t header[kImageHeaderLength];
    uint8_t trailer[kImageTrailerLength];
    char revision[kRevisionLength];
    uint32_t busyReads;      // Storing: status reads that reported the busy code
    uint64_t lastActivityNs; // Receiving: last page taken; Storing: when the last block arrived
    uint64_t lastReadNs;     // Storing: when the phase was last reported (or began)
};

struct UnitAttention
{
    uint8_t asc; // 0/0 = none
    uint8_t ascq;
};

struct SubenclosureState
{
    uint8_t reportStatus;     // completion or error code waiting to be reported once; 0 = none
    uint8_t reportAdditional; // its additional status
    PendingKind deferred;     // secondary subenclosures: microcode waiting for activation
    uint8_t uaOnReport;       // the code is 0x10: unit attention 3F/01 once it has been reported
};

struct ConsoleState
{
    ConsoleJob job;
    uint8_t resetPending; // `reset` answered; the reset follows once the answer has been read
    uint8_t breakCount;
    uint8_t reserved;
    uint32_t logNext;
    uint32_t logTotal;
    uint32_t sleepMs;
    uint64_t sleepUntilNs;
    uint16_t outLength;
    uint16_t outPosition;
    uint16_t breaks[kConsoleMaxBreaks]; // a response ends at each of these output positions
    char out[kConsoleOutCapacity];
};

// Everything about the enclosure that changes while it runs. Plain bytes, so that the store can
// keep it in a file and copy it as a whole.
struct State
{
    uint32_t magic;
    uint32_t version;
    uint64_t commandCount; // commands since the numbering last restarted
    uint64_t blockCount;   // download data pages since the numbering last restarted
    uint64_t session;      // bumped each time an initiator process attaches
    uint32_t configGeneration;
    uint32_t generationCode;
    uint32_t nextImageId;
    UnitAttention ua[kMaxUnitAttentions]; // pending, in the order they are reported
    uint8_t uaCount;
    uint8_t lastSendDiagnosticPage;
    uint8_t gone;
    uint8_t needsImage; // single bank flash whose write was cut: only a good image brings it back
    UnitAttention heldUa; // established after the next command completes, or at session end
    uint32_t stuckReads;
    ImageInfo active;
    ImageInfo pending;
    PendingKind pendingKind;
    uint8_t reserved[3];
    DownloadState download;
    SubenclosureState sub[kMaxSubenclosures];
    uint32_t faultFired[kMaxFaults];
    ConsoleState console;
};
static_assert(std::is_trivially_copyable<State>::value, "the state is stored as plain bytes");

// What `sesim init` sets beyond the configuration.
struct InitialState
{
    char revision[kRevisionLength] = {'0', '1', '0', '0'};
    uint32_t generationCode = 0;
    bool unitAttention = true;
    std::vector<std::string> pendingOutput;
};

// Fills a new state: the active image is `activeImageId` of `activeImageSize` bytes.
// Returns false when the pending output does not fit the console buffer.
bool InitState(const InitialState& initial, uint32_t activeImageId, uint32_t activeImageSize, State* state,
               std::string* error);

struct Command
{
    const uint8_t* cdb;
    size_t cdbLength;
    const uint8_t* dataOut; // bytes the initiator sends
    size_t dataOutLength;
    uint8_t* dataIn; // room the initiator offers for data from the device
    size_t dataInLength;
};

enum class Outcome : uint8_t
{
    Completed,      // the device returned a status (GOOD or another)
    HostError,      // the host adapter failed the command: hostStatus
    TransportError, // the request never completed: errnoValue
};

// Image files that the state no longer references once it has been saved.
struct Released
{
    uint32_t ids[kMaxReleasedImages];
    int count;
    void Add(uint32_t id)
    {
        if (id != 0 && count < kMaxReleasedImages)
        {
            ids[count++] = id;
        }
    }
};

struct Result
{
    Outcome outcome;
    uint8_t status;
    uint8_t hostStatus;
    int errnoValue;
    uint8_t sense[kSenseCapacity];
    size_t senseLength;
    size_t dataInLength; // bytes placed in dataIn
    size_t dataOutUsed;  // bytes of dataOut that the device took
    uint64_t index;      // number of the command since the numbering last restarted
    const char* fault;   // kind of the fault that fired, or null
    Released released;
    char note[kNoteCapacity]; // what the model did, for the command log
};

// Where the model keeps image bytes (files in the state directory, memory in unit tests).
class Backing
{
  public:
    virtual bool CreateImage(uint32_t id) = 0;
    virtual bool WriteImage(uint32_t id, uint32_t offset, const uint8_t* data, size_t length) = 0;

  protected:
    ~Backing() = default;
};

// The resets an enclosure can see, weakest first. Only a hard reset and a power cycle restart
// the enclosure (and activate microcode that waits for one).
enum class ResetKind : uint8_t
{
    LogicalUnit, // 29/03: a logical unit reset (sg_reset -d)
    Target,      // 29/02: a target reset
    Hard,        // 29/00: a bus or host reset, the console's `reset`
    PowerCycle,  // 29/01: power off and on
};

enum class DataDirection : uint8_t
{
    None,
    In,  // device to initiator
    Out, // initiator to device
};

// Which faults can act on a command (beyond those that act on any command).
enum class FaultClass : uint8_t
{
    Plain,
    DiagnosticOut, // SEND DIAGNOSTIC: download data pages
    DiagnosticIn,  // RECEIVE DIAGNOSTIC RESULTS: status page reads
    BufferIn,      // READ BUFFER: console responses
};

class Model
{
  public:
    struct Ctx;
    // Everything the simulator knows about one operation code: dispatch, the TCMU attachment
    // (data direction) and the fault matcher read it from here.
    // The fields follow the table's columns; a few padding bytes in a table of eight entries
    // buy that order. NOLINTNEXTLINE(clang-analyzer-optin.performance.Padding)
    struct CommandInfo
    {
        uint8_t opcode;
        const char* name;
        uint8_t cdbLength;
        DataDirection direction;
        bool uaExempt;        // answered while a unit attention is pending, which stays pending
        bool withoutFirmware; // served while a cut flash write left no firmware to run
        FaultClass faultClass;
        void (Model::*handler)(Ctx&);
    };
    // The entry of an operation code the enclosure implements, or null.
    static const CommandInfo* FindCommand(uint8_t opcode);

    // scratch_ is written before each use; clearing 8 KiB per session would buy nothing.
    // cppcheck-suppress uninitMemberVar
    Model(const Config& config, Backing& backing) : config_(config), backing_(backing) {}

    // Runs one command. Never reads beyond the CDB, data-out or data-in lengths given.
    void Execute(State& state, const Command& command, uint64_t nowNs, Result& result);

    // What happens while no command arrives: a download timeout falls due, a storage phase whose
    // time has passed is over once it was reported as often as configured, an answered `reset`
    // takes place, a held unit attention is established.
    void Settle(State& state, uint64_t nowNs, Released& released);
    // A new initiator process attaches: Settle, then a new session number.
    void BeginSession(State& state, uint64_t nowNs, Released& released);
    // A reset of the given kind from outside (the host, a power cycle).
    void Reset(State& state, ResetKind kind, uint64_t nowNs, Released& released);

    // The download microcode status of a subenclosure as the next status read would show it,
    // without reporting anything.
    uint8_t PeekDownloadStatus(const State& state, int subenclosure, uint8_t* additional) const;

    const Config& config() const { return config_; }

  private:
    static const CommandInfo kCommands[];

    bool FireFault(Ctx& c);
    void FailCommand(Ctx& c, const FaultSpec& f);
    void CarryOut(Ctx& c);

    // Unit attentions and resets
    void EstablishUnitAttention(State& state, uint8_t asc, uint8_t ascq);
    void Restart(State& state, ResetKind kind, Released& released);

    // Download microcode (sesim_microcode.cpp)
    void ExpireDownload(State& state, uint64_t nowNs, Released& released);
    void AbortDownload(State& state, Released& released);
    // True when the enclosure restarted on the new microcode.
    bool FinishStorage(State& state, Released& released);
    void InterruptStorage(State& state, Released& released);
    void EndStorageIfOver(State& state, uint64_t nowNs, Released& released);
    void NewMicrocodeActive(State& state, Released& released);
    void ReplaceReport(Ctx& c, int subenclosure, uint8_t status, uint8_t additional);
    void PostReportedUnitAttentions(State& state);
    bool ActivatePending(State& state, Released& released, ResetKind kind);
    void DownloadControlPage(Ctx& c, const uint8_t* page, size_t pageBytes);
    void ActivateDeferred(Ctx& c, uint8_t sub);
    void DownloadFieldError(Ctx& c, int subenclosure, uint8_t fieldOffset);
    void TakeDownloadData(Ctx& c, const uint8_t* data, uint32_t offset, uint32_t length);
    size_t BuildDownloadStatusPage(Ctx& c, uint8_t* page, size_t capacity, size_t deliverable);
    uint8_t ReadDownloadStatus(Ctx& c, int sub, bool seen, uint8_t* additional, uint32_t* expected);
    void EndDownloadWith(Ctx& c, uint8_t status);

    // Command handlers
    void TestUnitReady(Ctx& c);
    void Inquiry(Ctx& c);
    void RequestSense(Ctx& c);
    void ReportLuns(Ctx& c);
    void ReceiveDiagnostic(Ctx& c);
    void SendDiagnostic(Ctx& c);
    void WriteBuffer(Ctx& c);
    void ReadBuffer(Ctx& c);

    // Element inventory (sesim_elements.cpp)
    size_t BuildConfigurationPage(const State& state, uint8_t* page, size_t capacity) const;
    size_t BuildEnclosureStatusPage(const State& state, uint8_t* page, size_t capacity) const;
    size_t BuildElementDescriptorPage(const State& state, uint8_t* page, size_t capacity) const;
    size_t BuildAdditionalElementStatusPage(const State& state, uint8_t* page, size_t capacity) const;

    // Console (sesim_console.cpp)
    static bool ConsoleBufferCdb(Ctx& c);
    void ConsoleCommand(Ctx& c, const char* text, size_t length);
    size_t ConsoleResponse(Ctx& c, uint8_t* out, size_t deliverable);

    const Config& config_;
    Backing& backing_;
    // Data-in is built here and copied out, so that no page builder writes to the initiator's
    // buffer directly; the largest page is far smaller.
    uint8_t scratch_[8192];
};

// Sense data as the model builds it (fixed or descriptor format); exposed for tests.
struct FieldPointer
{
    bool valid;
    bool inCdb;
    uint16_t byte;
    int8_t bit; // -1: no bit pointer
};
size_t BuildSense(uint8_t* out, size_t capacity, bool descriptor, uint8_t key, uint8_t asc, uint8_t ascq,
                  const FieldPointer& field);

// The pending unit attentions for people, in the order they will be reported: "29/00 3f/01",
// or "none".
std::string UnitAttentionText(const State& state);

// The name an element descriptor gives array device slot `index` (from 0), "Slot 01" ...
std::string SlotName(int index);
// The SAS address of array device slot `index`: stable for an enclosure (derived from its
// serial number), distinct for every slot.
uint64_t SlotSasAddress(const Config& config, int index);

} // namespace sesim

#endif
