#include "sesim_model.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "sesim_model_internal.h"
#include "sesim_scsi.h"

namespace sesim
{

namespace
{

constexpr size_t kInquiryVendorOffset = 8;
constexpr size_t kInquiryProductOffset = 16;
constexpr size_t kInquiryRevisionOffset = 32;
constexpr uint8_t kPageLengthOffset = 2;
constexpr size_t kNaaDesignatorLength = 8;
constexpr uint8_t kCodeSetBinary = 0x01;
constexpr uint8_t kCodeSetAscii = 0x02;
constexpr uint8_t kDesignatorT10Vendor = 0x01;
constexpr uint8_t kDesignatorNaa = 0x03;
constexpr uint8_t kReportLunsSelectMax = 0x02;
constexpr uint8_t kReportLunsSelectAdministrative = 0x10;
constexpr uint8_t kReportLunsSelectLast = 0x12;
constexpr size_t kReportLunsHeaderLength = 8;
constexpr size_t kLunEntryLength = 8;
constexpr uint8_t kSelfTestCodeReserved3 = 3;
constexpr uint8_t kSelfTestCodeReserved7 = 7;

// With no firmware left to run, the boot code still lists its pages and takes a new image.
bool ServedWithoutFirmware(uint8_t page)
{
    return page == kPageSupportedDiagnostic || page == kPageDownloadMicrocode;
}

} // namespace

using D = DataDirection;
using F = FaultClass;


// The commands the enclosure implements. Anything else: ILLEGAL REQUEST, 05/20/00.
const Model::CommandInfo Model::kCommands[] = {
    // opcode, name, CDB length, data, UA exempt, without firmware, fault class, handler
    {kOpTestUnitReady, "TEST UNIT READY", 6, D::None, false, true, F::Plain, &Model::TestUnitReady},
    {kOpRequestSense, "REQUEST SENSE", 6, D::In, true, true, F::Plain, &Model::RequestSense},
    {kOpInquiry, "INQUIRY", 6, D::In, true, true, F::Plain, &Model::Inquiry},
    {kOpReceiveDiagnosticResults, "RECEIVE DIAGNOSTIC RESULTS", 6, D::In, false, true, F::DiagnosticIn,
     &Model::ReceiveDiagnostic},
    {kOpSendDiagnostic, "SEND DIAGNOSTIC", 6, D::Out, false, true, F::DiagnosticOut, &Model::SendDiagnostic},
    {kOpWriteBuffer, "WRITE BUFFER", 10, D::Out, false, false, F::Plain, &Model::WriteBuffer},
    {kOpReadBuffer, "READ BUFFER", 10, D::In, false, false, F::BufferIn, &Model::ReadBuffer},
    {kOpReportLuns, "REPORT LUNS", 12, D::In, true, true, F::Plain, &Model::ReportLuns},
};

const Model::CommandInfo* Model::FindCommand(uint8_t opcode)
{
    for (const CommandInfo& info : kCommands)
    {
        if (info.opcode == opcode)
        {
            return &info;
        }
    }
    return nullptr;
}

// The enclosure logical identifier: NAA 5 with a value derived from the serial number, so that
// enclosures with different serial numbers tell themselves apart.
uint64_t LogicalIdentifier(const Config& config, int subenclosure)
{
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < kSerialLength; i++)
    {
        h = (h ^ (uint8_t)config.serial[i]) * 1099511628211ull;
    }
    constexpr uint64_t kVendorSpecificMask = 0xFFFFFFFFFull; // 36 bits after the NAA and the OUI
    constexpr uint8_t kNaaIeeeRegistered = 0x5;
    return ((uint64_t)kNaaIeeeRegistered << 60) | ((h & kVendorSpecificMask & ~0xFFull) | (uint64_t)subenclosure);
}

size_t CdbLengthForOpcode(uint8_t opcode)
{
    switch (opcode >> 5)
    {
    case 0:
        return 6;
    case 1:
    case 2:
        return 10;
    case 4:
        return 16;
    case 5:
        return 12;
    default:
        return 0; // variable length, reserved or vendor specific
    }
}

size_t BuildSense(uint8_t* out, size_t capacity, bool descriptor, uint8_t key, uint8_t asc, uint8_t ascq,
                  const FieldPointer& field)
{
    uint8_t sense[kSenseCapacity] = {};
    size_t length = 0;
    uint8_t sks[3] = {};
    if (field.valid)
    {
        sks[0] = kSksValid | (field.inCdb ? kSksCommandData : 0);
        if (field.bit >= 0)
        {
            sks[0] |= kSksBitPointerValid | (uint8_t)(field.bit & 0x07);
        }
        PutBe16(sks + 1, field.byte);
    }
    if (descriptor)
    {
        sense[0] = kSenseDescriptorCurrent;
        sense[1] = key & 0x0F;
        sense[2] = asc;
        sense[3] = ascq;
        length = kDescriptorSenseHeaderLength;
        if (field.valid)
        {
            uint8_t* d = sense + length;
            d[0] = kSenseKeySpecificDescriptor;
            d[1] = kSenseKeySpecificDescriptorLength;
            memcpy(d + 4, sks, sizeof(sks));
            length += 2 + kSenseKeySpecificDescriptorLength;
        }
        sense[7] = (uint8_t)(length - kDescriptorSenseHeaderLength);
    }
    else
    {
        sense[0] = kSenseFixedCurrent;
        sense[2] = key & 0x0F;
        sense[7] = (uint8_t)(kFixedSenseLength - 8);
        sense[12] = asc;
        sense[13] = ascq;
        memcpy(sense + 15, sks, sizeof(sks));
        length = kFixedSenseLength;
    }
    length = std::min(length, capacity);
    memcpy(out, sense, length);
    return length;
}

bool InitState(const InitialState& initial, uint32_t activeImageId, uint32_t activeImageSize, State* state,
               std::string* error)
{
    memset(state, 0, sizeof(*state));
    state->magic = kStateMagic;
    state->version = kStateVersion;
    state->generationCode = initial.generationCode;
    state->nextImageId = activeImageId + 1;
    state->active.id = activeImageId;
    state->active.size = activeImageSize;
    memcpy(state->active.revision, initial.revision, kRevisionLength);
    if (initial.unitAttention)
    {
        state->ua[0] = UnitAttention{kAscPowerOnOrReset, 0};
        state->uaCount = 1;
    }
    ConsoleState& con = state->console;
    for (const std::string& text : initial.pendingOutput)
    {
        if (con.outLength + text.size() > kConsoleOutCapacity || con.breakCount >= kConsoleMaxBreaks)
        {
            *error = "pending console output is limited to " + std::to_string(kConsoleMaxBreaks) +
                     " responses and " + std::to_string(kConsoleOutCapacity) + " characters";
            return false;
        }
        memcpy(con.out + con.outLength, text.data(), text.size());
        con.outLength = (uint16_t)(con.outLength + text.size());
        con.breaks[con.breakCount++] = con.outLength;
    }
    return true;
}

std::string UnitAttentionText(const State& state)
{
    if (state.uaCount == 0)
    {
        return "none";
    }
    std::string text;
    for (int i = 0; i < state.uaCount; i++)
    {
        char one[8];
        snprintf(one, sizeof(one), "%s%02x/%02x", i > 0 ? " " : "", state.ua[i].asc, state.ua[i].ascq);
        text += one;
    }
    return text;
}

// Unit attentions are kept in the order SPC reports them: a power on or reset (29h) before the
// others; a newer reset replaces an older one; the same condition is never pending twice.
void Model::EstablishUnitAttention(State& state, uint8_t asc, uint8_t ascq)
{
    int n = state.uaCount;
    int at = n;
    for (int i = 0; i < n; i++)
    {
        if (asc == kAscPowerOnOrReset && state.ua[i].asc == kAscPowerOnOrReset)
        {
            state.ua[i].ascq = ascq;
            return;
        }
        if (state.ua[i].asc == asc && state.ua[i].ascq == ascq)
        {
            return;
        }
        if (asc == kAscPowerOnOrReset && at == n)
        {
            at = i;
        }
    }
    if (n == kMaxUnitAttentions)
    {
        return;
    }
    memmove(&state.ua[at + 1], &state.ua[at], sizeof(state.ua[0]) * (size_t)(n - at));
    state.ua[at] = UnitAttention{asc, ascq};
    state.uaCount++;
}

namespace
{

UnitAttention TakeUnitAttention(State& state)
{
    UnitAttention ua = state.ua[0];
    state.uaCount--;
    memmove(&state.ua[0], &state.ua[1], sizeof(state.ua[0]) * state.uaCount);
    state.ua[state.uaCount] = UnitAttention{};
    return ua;
}

} // namespace

void Model::Execute(State& state, const Command& command, uint64_t nowNs, Result& result)
{
    memset(&result, 0, sizeof(result));
    result.outcome = Outcome::Completed;
    state.commandCount++;
    result.index = state.commandCount;

    Ctx c{state, command, result, nowNs};
    c.descriptorSense = config_.descriptorSense;
    size_t cdbLength = std::min(command.cdbLength, kMaxCdbLength);
    if (cdbLength > 0)
    {
        memcpy(c.cdb, command.cdb, cdbLength);
    }
    c.op = c.cdb[0];
    c.info = FindCommand(c.op);

    ExpireDownload(state, nowNs, result.released);

    // A download data page is counted when it arrives, whatever becomes of it.
    if (c.info != nullptr && c.info->faultClass == FaultClass::DiagnosticOut && (c.cdb[1] & kSendDiagPf) &&
        !(c.cdb[1] & kSendDiagSelfTest))
    {
        size_t n = std::min((size_t)Be16(c.cdb + 3), command.dataOutLength);
        if (n >= kMicrocodeControlHeaderLength && command.dataOut[0] == kPageDownloadMicrocode &&
            (command.dataOut[kFieldMode] == kModeDownloadSaveActivate ||
             command.dataOut[kFieldMode] == kModeDownloadSaveDefer) &&
            Be32(command.dataOut + kFieldDataLength) > 0)
        {
            c.dataPage = true;
            state.blockCount++;
        }
    }

    if (FireFault(c))
    {
        return;
    }
    CarryOut(c);
    if (c.endWith != nullptr)
    {
        EndDownloadWith(c, c.endWith->downloadStatus);
    }
    if (c.gencodeAfter != nullptr)
    {
        state.generationCode += c.gencodeAfter->step;
        c.Note("; generation code moves on to %u", state.generationCode);
    }
    if (c.failAfter != nullptr)
    {
        // The enclosure did the work; the initiator hears of a failure all the same.
        result.status = kStatusGood;
        result.senseLength = 0;
        result.dataInLength = 0;
        c.Note("; then ");
        FailCommand(c, *c.failAfter);
    }
}

void Model::CarryOut(Ctx& c)
{
    State& state = c.s;
    Result& result = c.r;
    if (state.gone)
    {
        result.outcome = Outcome::TransportError;
        result.errnoValue = ENODEV;
        c.Note("device gone");
        return;
    }
    bool exempt = c.info != nullptr && c.info->uaExempt;
    if (state.uaCount > 0 && !exempt)
    {
        UnitAttention ua = TakeUnitAttention(state);
        c.Check(kSenseUnitAttention, ua.asc, ua.ascq);
        c.Note("unit attention %02X/%02X reported", ua.asc, ua.ascq);
        return;
    }
    if (c.info == nullptr)
    {
        c.Check(kSenseIllegalRequest, kAscInvalidOpcode, 0);
        c.Note("operation code %02X not supported", c.op);
        return;
    }
    uint8_t control = c.cdb[c.info->cdbLength - 1];
    if (control & (kControlNaca | kControlLink))
    {
        c.InvalidCdbField((uint16_t)(c.info->cdbLength - 1), (control & kControlNaca) ? 2 : 0);
        return;
    }
    if (state.needsImage && !c.info->withoutFirmware)
    {
        c.NoFirmware();
        return;
    }
    bool held = state.heldUa.asc != 0;
    (this->*c.info->handler)(c);
    // Established once the command after the activation has completed, whatever it is: the
    // initiator may read the outcome first, and every attachment sees the same sequence.
    if (held)
    {
        EstablishUnitAttention(state, state.heldUa.asc, state.heldUa.ascq);
        state.heldUa = UnitAttention{};
    }
    if (c.resetAfter)
    {
        Restart(state, ResetKind::Hard, result.released);
        c.Note("; reset");
    }
    if (c.uaAfter)
    {
        EstablishUnitAttention(state, c.uaAfterValue.asc, c.uaAfterValue.ascq);
    }
}

void Model::FailCommand(Ctx& c, const FaultSpec& f)
{
    switch (f.kind)
    {
    case FaultKind::Check: {
        bool descriptor =
            f.format == SenseFormat::Enclosure ? config_.descriptorSense : f.format == SenseFormat::Descriptor;
        c.r.status = kStatusCheckCondition;
        c.r.senseLength = BuildSense(c.r.sense, sizeof(c.r.sense), descriptor, f.senseKey, f.asc, f.ascq,
                                     FieldPointer{false, false, 0, -1});
        c.Note("injected CHECK CONDITION %02X/%02X/%02X", f.senseKey, f.asc, f.ascq);
        break;
    }
    case FaultKind::CheckNoSense:
        c.r.status = kStatusCheckCondition;
        c.Note("injected CHECK CONDITION without sense");
        break;
    case FaultKind::Status:
        c.r.status = f.status;
        c.Note("injected status %02X", f.status);
        break;
    case FaultKind::Host:
        c.r.outcome = Outcome::HostError;
        c.r.hostStatus = f.hostCode;
        c.Note("injected host status %02X", f.hostCode);
        break;
    case FaultKind::Errno:
        c.r.outcome = Outcome::TransportError;
        c.r.errnoValue = f.errnoValue;
        c.Note("injected errno %d", f.errnoValue);
        break;
    case FaultKind::Gone:
        c.s.gone = 1;
        c.r.outcome = Outcome::TransportError;
        c.r.errnoValue = ENODEV;
        c.Note("device removed");
        break;
    default:
        break;
    }
}

bool Model::FireFault(Ctx& c)
{
    State& s = c.s;
    FaultClass cls = c.info != nullptr ? c.info->faultClass : FaultClass::Plain;
    bool statusRead = false;
    if (cls == FaultClass::DiagnosticIn)
    {
        uint8_t page = (c.cdb[1] & kReceiveDiagPcv) ? c.cdb[2] : s.lastSendDiagnosticPage;
        statusRead = page == kPageDownloadMicrocode;
    }
    bool consoleRead = cls == FaultClass::BufferIn && (c.cdb[1] & kBufferModeMask) == kBufferModeVendor;
    for (uint32_t i = 0; i < config_.faultCount; i++)
    {
        const FaultSpec& f = config_.faults[i];
        bool applies = true;
        switch (f.kind)
        {
        case FaultKind::Drop:
            applies = c.dataPage;
            break;
        case FaultKind::ShortStatus:
        case FaultKind::GarbageStatus:
            applies = statusRead;
            break;
        case FaultKind::BadLength:
            applies = consoleRead;
            break;
        default:
            break;
        }
        if (!applies)
        {
            continue;
        }
        bool match = false;
        switch (f.trigger)
        {
        case TriggerKind::Command:
            match = c.r.index >= f.number && c.r.index - f.number < f.count;
            break;
        case TriggerKind::CommandOnward:
            match = c.r.index >= f.number;
            break;
        case TriggerKind::Block:
            match = c.dataPage && s.blockCount >= f.number && s.blockCount - f.number < f.count;
            break;
        case TriggerKind::Opcode:
            match = c.op == f.opcode && (f.count == 0 || s.faultFired[i] < f.count);
            break;
        }
        if (!match)
        {
            continue;
        }
        s.faultFired[i]++;
        c.r.fault = FaultKindName(f.kind);
        switch (f.kind)
        {
        case FaultKind::Check:
        case FaultKind::CheckNoSense:
        case FaultKind::Status:
        case FaultKind::Host:
        case FaultKind::Errno:
            if (f.after)
            {
                c.failAfter = &f;
                return false;
            }
            FailCommand(c, f);
            return true;
        case FaultKind::Gone:
            FailCommand(c, f);
            return true;
        case FaultKind::Drop:
            c.drop = true;
            return false;
        case FaultKind::ShortStatus:
            c.shortStatus = &f;
            return false;
        case FaultKind::GarbageStatus:
            c.garbage = &f;
            return false;
        case FaultKind::Stuck:
            s.stuckReads = f.reads;
            return false;
        case FaultKind::BadLength:
            c.badLength = &f;
            return false;
        case FaultKind::DlStatus:
            c.endWith = &f;
            return false;
        case FaultKind::Gencode:
            c.gencodeAfter = &f;
            return false;
        }
    }
    return false;
}

// ---- Resets, sessions, power ----

// What a reset does to the enclosure. Only a hard reset and a power cycle restart it: they cut
// a flash write short (the flash model decides what is left), lose an incomplete download,
// activate the microcode that waits for them and empty the console.
void Model::Restart(State& state, ResetKind kind, Released& released)
{
    uint8_t ascq = kind == ResetKind::LogicalUnit ? kAscqDeviceReset
                   : kind == ResetKind::Target    ? kAscqBusReset
                   : kind == ResetKind::PowerCycle ? kAscqPowerOn
                                                   : 0;
    if (kind == ResetKind::LogicalUnit || kind == ResetKind::Target)
    {
        EstablishUnitAttention(state, kAscPowerOnOrReset, ascq);
        return;
    }
    InterruptStorage(state, released);
    AbortDownload(state, released);
    bool activated = false;
    for (const SubenclosureState& sub : state.sub)
    {
        activated = activated || sub.uaOnReport;
    }
    activated = state.heldUa.asc != 0 || activated;
    state.heldUa = UnitAttention{};
    if (!state.needsImage && ActivatePending(state, released, kind))
    {
        state.generationCode++;
        activated = true;
    }
    for (SubenclosureState& sub : state.sub)
    {
        // A cut single bank write still says so after the restart; everything else is gone.
        if (sub.reportStatus != kDlInternalErrorNeedsImage)
        {
            sub.reportStatus = 0;
        }
        sub.reportAdditional = 0;
        sub.uaOnReport = 0;
    }
    memset(&state.console, 0, sizeof(state.console));
    state.stuckReads = 0;
    EstablishUnitAttention(state, kAscPowerOnOrReset, ascq);
    if (activated)
    {
        EstablishUnitAttention(state, kAscOperatingConditionsChanged, kAscqMicrocodeChanged);
    }
}

void Model::Settle(State& state, uint64_t nowNs, Released& released)
{
    ExpireDownload(state, nowNs, released);
    EndStorageIfOver(state, nowNs, released);
    PostReportedUnitAttentions(state);
    if (state.heldUa.asc != 0)
    {
        EstablishUnitAttention(state, state.heldUa.asc, state.heldUa.ascq);
        state.heldUa = UnitAttention{};
    }
    if (state.console.resetPending)
    {
        Restart(state, ResetKind::Hard, released);
    }
}

void Model::BeginSession(State& state, uint64_t nowNs, Released& released)
{
    Settle(state, nowNs, released);
    state.session++;
}

void Model::Reset(State& state, ResetKind kind, uint64_t nowNs, Released& released)
{
    ExpireDownload(state, nowNs, released);
    EndStorageIfOver(state, nowNs, released);
    Restart(state, kind, released);
}

// ---- TEST UNIT READY, INQUIRY, REQUEST SENSE, REPORT LUNS ----

void Model::TestUnitReady(Ctx& c)
{
    c.Note("ready");
}

void Model::Inquiry(Ctx& c)
{
    const uint8_t* cdb = c.cdb;
    size_t allocation = Be16(cdb + 3);
    uint8_t* d = scratch_;
    uint8_t pdt = config_.deviceType & kPeripheralTypeMask;
    if (cdb[1] & kInquiryCmdDt)
    {
        c.InvalidCdbField(1, 1);
        return;
    }
    if (!(cdb[1] & kInquiryEvpd))
    {
        if (cdb[2] != 0)
        {
            c.InvalidCdbField(2);
            return;
        }
        memset(d, 0, kStandardInquiryLength);
        d[0] = pdt;
        d[2] = kInquiryVersionSpc4;
        d[3] = kInquiryHiSup | kInquiryResponseFormat;
        d[4] = (uint8_t)(kStandardInquiryLength - 5);
        d[6] = config_.encserv ? kInquiryEncServ : 0;
        d[7] = kInquiryCmdQue;
        memcpy(d + kInquiryVendorOffset, config_.vendor, kVendorLength);
        memcpy(d + kInquiryProductOffset, config_.product, kProductLength);
        memcpy(d + kInquiryRevisionOffset, c.s.active.revision, kRevisionLength);
        c.Deliver(d, kStandardInquiryLength, allocation);
        c.Note("standard inquiry data");
        return;
    }
    size_t length = 0;
    memset(d, 0, 4);
    d[0] = pdt;
    d[1] = cdb[2];
    switch (cdb[2])
    {
    case kVpdSupportedPages:
        d[4] = kVpdSupportedPages;
        d[5] = kVpdUnitSerialNumber;
        d[6] = kVpdDeviceIdentification;
        length = 7;
        break;
    case kVpdUnitSerialNumber:
        memcpy(d + 4, config_.serial, kSerialLength);
        length = 4 + kSerialLength;
        break;
    case kVpdDeviceIdentification: {
        uint8_t* p = d + 4;
        p[0] = kCodeSetBinary;
        p[1] = kDesignatorNaa;
        p[2] = 0;
        p[3] = kNaaDesignatorLength;
        PutBe64(p + 4, LogicalIdentifier(config_, 0));
        p += 4 + kNaaDesignatorLength;
        p[0] = kCodeSetAscii;
        p[1] = kDesignatorT10Vendor;
        p[2] = 0;
        p[3] = (uint8_t)(kVendorLength + kProductLength + kSerialLength);
        memcpy(p + 4, config_.vendor, kVendorLength);
        memcpy(p + 4 + kVendorLength, config_.product, kProductLength);
        memcpy(p + 4 + kVendorLength + kProductLength, config_.serial, kSerialLength);
        p += 4 + p[3];
        length = (size_t)(p - d);
        break;
    }
    default:
        c.InvalidCdbField(2);
        return;
    }
    PutBe16(d + 2, (uint32_t)(length - 4));
    c.Deliver(d, length, allocation);
    c.Note("VPD page %02X", cdb[2]);
}

void Model::RequestSense(Ctx& c)
{
    bool descriptor = c.cdb[1] & kRequestSenseDesc;
    size_t allocation = c.cdb[4];
    uint8_t key = kSenseNoSense, asc = 0, ascq = 0;
    if (c.s.uaCount > 0)
    {
        UnitAttention ua = TakeUnitAttention(c.s);
        key = kSenseUnitAttention;
        asc = ua.asc;
        ascq = ua.ascq;
        c.Note("unit attention %02X/%02X returned and cleared", asc, ascq);
    }
    else if (c.s.needsImage)
    {
        key = kSenseNotReady;
        asc = kAscLogicalUnitNotReady;
        c.Note("no firmware");
    }
    else
    {
        c.Note("no sense");
    }
    size_t length =
        BuildSense(scratch_, sizeof(scratch_), descriptor, key, asc, ascq, FieldPointer{false, false, 0, -1});
    c.Deliver(scratch_, length, allocation);
}

void Model::ReportLuns(Ctx& c)
{
    uint8_t select = c.cdb[2];
    size_t allocation = Be32(c.cdb + 6);
    if (allocation < kReportLunsMinAllocation)
    {
        c.InvalidCdbField(6);
        return;
    }
    if (select > kReportLunsSelectMax && (select < kReportLunsSelectAdministrative || select > kReportLunsSelectLast))
    {
        c.InvalidCdbField(2);
        return;
    }
    // The enclosure is LUN 0 and has no well-known logical units.
    bool listsLun0 = select != 0x01;
    uint8_t* d = scratch_;
    memset(d, 0, kReportLunsHeaderLength + kLunEntryLength);
    PutBe32(d, listsLun0 ? (uint32_t)kLunEntryLength : 0);
    c.Deliver(d, kReportLunsHeaderLength + (listsLun0 ? kLunEntryLength : 0), allocation);
    c.Note("LUN list");
}

// ---- Diagnostic pages ----

void Model::ReceiveDiagnostic(Ctx& c)
{
    bool pcv = c.cdb[1] & kReceiveDiagPcv;
    uint8_t page = c.cdb[2];
    size_t allocation = Be16(c.cdb + 3);
    if (!pcv)
    {
        if (page != 0)
        {
            c.InvalidCdbField(2);
            return;
        }
        page = c.s.lastSendDiagnosticPage;
    }
    if (c.s.needsImage && !ServedWithoutFirmware(page))
    {
        c.NoFirmware();
        return;
    }
    size_t length = 0;
    switch (page)
    {
    case kPageSupportedDiagnostic: {
        uint8_t* d = scratch_;
        memset(d, 0, kDiagPageHeaderLength);
        size_t n = kDiagPageHeaderLength;
        const uint8_t pages[] = {kPageSupportedDiagnostic,     kPageConfiguration,    kPageEnclosureStatus,
                                 kPageElementDescriptor,       kPageAdditionalElementStatus, kPageDownloadMicrocode};
        for (uint8_t p : pages)
        {
            if ((p != kPageDownloadMicrocode || config_.page0e) && (!c.s.needsImage || ServedWithoutFirmware(p)))
            {
                d[n++] = p;
            }
        }
        PutBe16(d + kPageLengthOffset, (uint32_t)(n - kDiagPageHeaderLength));
        length = n;
        break;
    }
    case kPageConfiguration:
        length = BuildConfigurationPage(c.s, scratch_, sizeof(scratch_));
        break;
    case kPageEnclosureStatus:
        length = BuildEnclosureStatusPage(c.s, scratch_, sizeof(scratch_));
        break;
    case kPageElementDescriptor:
        length = BuildElementDescriptorPage(c.s, scratch_, sizeof(scratch_));
        break;
    case kPageAdditionalElementStatus:
        length = BuildAdditionalElementStatusPage(c.s, scratch_, sizeof(scratch_));
        break;
    case kPageDownloadMicrocode:
        if (!config_.page0e)
        {
            c.InvalidCdbField(2);
            return;
        }
        length = BuildDownloadStatusPage(c, scratch_, sizeof(scratch_), c.Deliverable(allocation));
        break;
    default:
        c.InvalidCdbField(2);
        return;
    }
    c.Deliver(scratch_, length, allocation);
    if (page != kPageDownloadMicrocode)
    {
        c.Note("page %02X", page);
    }
}


void Model::SendDiagnostic(Ctx& c)
{
    uint8_t b1 = c.cdb[1];
    uint8_t code = (uint8_t)((b1 & kSendDiagSelfTestCodeMask) >> kSendDiagSelfTestCodeShift);
    size_t parameterListLength = Be16(c.cdb + 3);
    if (b1 & kSendDiagSelfTest)
    {
        if (code != 0)
        {
            c.InvalidCdbField(1, 7);
            return;
        }
        if (parameterListLength != 0)
        {
            c.InvalidCdbField(3);
            return;
        }
        c.Note("default self-test passed");
        return;
    }
    if (code != 0)
    {
        if (code == kSelfTestCodeReserved3 || code == kSelfTestCodeReserved7)
        {
            c.InvalidCdbField(1, 7);
            return;
        }
        if (parameterListLength != 0)
        {
            c.InvalidCdbField(3);
            return;
        }
        c.Note("self-test %u passed", code);
        return;
    }
    if (parameterListLength == 0)
    {
        c.Note("no parameter list");
        return;
    }
    if (!(b1 & kSendDiagPf))
    {
        c.InvalidCdbField(1, 4);
        return;
    }
    size_t n = c.TakeDataOut(parameterListLength);
    const uint8_t* page = c.cmd.dataOut;
    if (n < kDiagPageHeaderLength || Be16(page + kPageLengthOffset) + kDiagPageHeaderLength > n)
    {
        c.Check(kSenseIllegalRequest, kAscParameterListLengthError, 0);
        c.Note("parameter list length %zu does not hold the page", n);
        return;
    }
    size_t pageBytes = Be16(page + kPageLengthOffset) + kDiagPageHeaderLength;
    if (c.s.needsImage && !ServedWithoutFirmware(page[0]))
    {
        c.NoFirmware();
        return;
    }
    switch (page[0])
    {
    case kPageSupportedDiagnostic:
        c.s.lastSendDiagnosticPage = page[0];
        c.Note("page 00 selected");
        break;
    case kPageEnclosureStatus:
        // There are no elements to control; the page is taken and changes nothing.
        c.s.lastSendDiagnosticPage = page[0];
        c.Note("enclosure control page taken");
        break;
    case kPageDownloadMicrocode:
        if (!config_.page0e)
        {
            c.InvalidParameterField(0);
            return;
        }
        c.s.lastSendDiagnosticPage = page[0];
        DownloadControlPage(c, page, pageBytes);
        break;
    default:
        c.InvalidParameterField(0);
        break;
    }
}


} // namespace sesim
