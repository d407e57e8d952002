// The simulated enclosure's command handling: any sequence of CDBs with any data-out bytes and
// data-in room, under varied settings and one armed fault, with sessions, resets and power
// cycles in between. The model promises never to read or write beyond the lengths it is given.
// Input: six settings bytes (with 0x40 in the first, a fault's twelve bytes follow them), then
// events: a byte whose high nibble is the pause before it and whose low nibble is 0x0C (new
// session), 0x0D (settle), 0x0E/0x0F (a reset, its kind in the next byte) or a command: CDB
// length - 1, the CDB, data-out length (16 bits) and bytes, data-in room (16 bits).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "vocabulary.h"
#include "sesim_config.h"
#include "sesim_model.h"
#include "sim_test_support.h"

namespace
{

using simtest::MemoryBacking;

const uint32_t kMaxImageSize = 65536;
const size_t kMaxDataLength = 8192;
const int kMaxCommands = 256;

void ArmFault(vocab::ByteReader& in, sesim::Config& config)
{
    sesim::FaultSpec f;
    f.kind = (sesim::FaultKind)(in.Byte() % ((int)sesim::FaultKind::BadLength + 1));
    f.trigger = (sesim::TriggerKind)(in.Byte() % ((int)sesim::TriggerKind::Opcode + 1));
    f.number = 1 + in.Byte() % 32;
    f.opcode = in.Byte();
    f.count = in.Byte() % 4;
    if (f.trigger != sesim::TriggerKind::CommandOnward && f.count == 0)
        f.count = 1;
    f.after = in.Byte() & 1;
    f.format = (sesim::SenseFormat)(in.Byte() % 3);
    f.length = in.Byte();
    f.seed = in.Byte();
    f.reads = in.Byte() % 8;
    f.textLength = in.Be16();
    config.faults[config.faultCount++] = f;
}

// The state after any command: a download in progress stays inside its image, the console
// inside its buffer, every reported code is one the model can report, the active image exists.
void CheckWellFormed(const sesim::Config& config, const sesim::State& s, const MemoryBacking& backing)
{
    vocab::Check((int)s.download.phase <= (int)sesim::DownloadPhase::Storing);
    if (s.download.phase == sesim::DownloadPhase::Receiving)
    {
        vocab::Check(s.download.expectedOffset < s.download.imageLength);
        vocab::Check(s.download.imageLength <= config.maxImageSize);
    }
    vocab::Check(s.console.outPosition <= s.console.outLength && s.console.outLength <= sesim::kConsoleOutCapacity);
    vocab::Check(s.console.breakCount <= sesim::kConsoleMaxBreaks);
    for (const sesim::SubenclosureState& sub : s.sub)
    {
        uint8_t code = sub.reportStatus;
        vocab::Check(code == 0 || (code >= 0x10 && code <= 0x13) || (code >= 0x80 && code <= 0x85));
    }
    vocab::Check(s.active.id != 0 && backing.images.count(s.active.id) == 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    vocab::ByteReader in(data, size);
    sesim::Config config;
    uint8_t flags = in.Byte();
    config.descriptorSense = flags & 0x01;
    config.acceptAnyImage = flags & 0x02;
    config.offsetAlignmentCheck = !(flags & 0x04);
    config.page0e = !(flags & 0x08);
    config.readBuffer = !(flags & 0x10);
    config.encserv = flags & 0x20;
    config.secondarySubenclosures = in.Byte() % (sesim::kMaxSecondarySubenclosures + 1);
    config.busyReads = in.Byte() % 4;
    config.completeStatus = (uint8_t)(0x10 + in.Byte() % 3);
    config.deferredBusyStatus = (in.Byte() & 1) ? 0x03 : 0x02;
    config.downloadTimeoutMs = in.Byte() * 10;
    config.maxImageSize = kMaxImageSize;
    if (flags & 0x40)
        ArmFault(in, config);
    std::string error;
    if (!sesim::ValidateConfig(config, &error))
        return 0;

    sesim::InitialState initial;
    initial.unitAttention = flags & 0x80;
    MemoryBacking backing;
    backing.images[1].assign(4096, 0);
    sesim::State state;
    if (!sesim::InitState(initial, 1, 4096, &state, &error))
        return 0;
    sesim::Model model(config, backing);
    uint64_t now = 1000000000000ull;
    sesim::Released released{};

    for (int n = 0; n < kMaxCommands && !in.Empty(); n++)
    {
        uint8_t what = in.Byte();
        now += (uint64_t)(what >> 4) * 7000000ull; // up to about 0.1 s between commands
        switch (what & 0x0F)
        {
        case 0x0C:
            model.BeginSession(state, now, released);
            continue;
        case 0x0D:
            model.Settle(state, now, released);
            continue;
        case 0x0E:
        case 0x0F:
            // Every kind of reset, the weak ones that must not activate anything included.
            model.Reset(state, (sesim::ResetKind)(in.Byte() % ((int)sesim::ResetKind::PowerCycle + 1)), now, released);
            continue;
        default:
            break;
        }
        // Exactly sized copies, so that a read or write past any of them is caught.
        size_t cdbLength = 1 + in.Byte() % sesim::kMaxCdbLength;
        size_t taken = 0;
        const uint8_t* cdbBytes = in.Take(cdbLength, &taken);
        std::vector<uint8_t> cdb(cdbBytes, cdbBytes + taken);
        cdb.resize(cdbLength); // a short input ends in zeros
        size_t doutLength = in.Be16() % kMaxDataLength;
        const uint8_t* doutBytes = in.Take(doutLength, &taken);
        uint8_t* dout = new uint8_t[taken + 1];
        memcpy(dout, doutBytes, taken);
        size_t dinLength = in.Be16() % kMaxDataLength;
        uint8_t* din = new uint8_t[dinLength + 1];

        sesim::Command command{cdb.data(), cdb.size(), dout, taken, din, dinLength};
        sesim::Result result;
        memset(&result, 0, sizeof(result));
        model.Execute(state, command, now, result);
        vocab::Check(result.dataInLength <= dinLength);
        vocab::Check(result.dataOutUsed <= taken);
        vocab::Check(result.senseLength <= sesim::kSenseCapacity);
        vocab::Check(memchr(result.note, '\0', sizeof(result.note)) != nullptr);
        CheckWellFormed(config, state, backing);
        delete[] dout;
        delete[] din;
    }
    return 0;
}
