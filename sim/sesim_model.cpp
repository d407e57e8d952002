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

constexpr uint64_t kNsPerMs = 1000000;
constexpr size_t kInquiryVendorOffset = 8;
constexpr size_t kInquiryProductOffset = 16;
constexpr size_t kInquiryRevisionOffset = 32;
constexpr uint8_t kPageLengthOffset = 2;
constexpr uint8_t kGenerationCodeOffset = 4;
constexpr size_t kEnclosureDescriptorLength = 40;
constexpr size_t kTypeHeaderLength = 4;
constexpr size_t kElementStatusLength = 4;
constexpr size_t kNaaDesignatorLength = 8;
constexpr uint8_t kNaaIeeeRegistered = 0x5;
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

uint64_t RoundUp4(uint64_t v)
{
    return (v + 3) & ~(uint64_t)3;
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
    return ((uint64_t)kNaaIeeeRegistered << 60) | ((h & kVendorSpecificMask & ~0xFFull) | (uint64_t)subenclosure);
}

uint8_t BusyCode(const Config& config, uint8_t mode)
{
    return mode == kModeDownloadSaveDefer ? config.deferredBusyStatus : kDlUpdatingStorage;
}

PendingKind KindForCompletion(uint8_t code)
{
    switch (code)
    {
    case kDlCompleteAfterReset:
        return PendingKind::AfterReset;
    case kDlCompleteAfterPowerOn:
        return PendingKind::AfterPowerOn;
    case kDlCompleteDeferred:
        return PendingKind::Deferred;
    default:
        return PendingKind::None;
    }
}

constexpr uint8_t KindBit(PendingKind kind)
{
    return (uint8_t)(1u << (unsigned)kind);
}
constexpr uint8_t kHardResetKinds = KindBit(PendingKind::Deferred) | KindBit(PendingKind::AfterReset);
constexpr uint8_t kPowerOnKinds =
    KindBit(PendingKind::Deferred) | KindBit(PendingKind::AfterReset) | KindBit(PendingKind::AfterPowerOn);

// Clears a diagnostic page of `length` bytes and writes the header that the configuration,
// enclosure status and element descriptor pages share; returns where their body starts.
uint8_t* StartDiagnosticPage(uint8_t* page, size_t length, uint8_t pageCode, uint8_t byte1, uint32_t generation)
{
    memset(page, 0, length);
    page[0] = pageCode;
    page[1] = byte1;
    PutBe16(page + kPageLengthOffset, (uint32_t)(length - kDiagPageHeaderLength));
    PutBe32(page + kGenerationCodeOffset, generation);
    return page + 8;
}

} // namespace

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

std::string UnitAttentionText(const State& state)
{
    if (state.uaAsc == 0 && state.uaAscq == 0)
    {
        return "none";
    }
    char text[8];
    snprintf(text, sizeof(text), "%02X/%02X", state.uaAsc, state.uaAscq);
    return text;
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
        state->uaAsc = kAscPowerOnOrReset;
        state->uaAscq = 0;
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

void Model::SetUnitAttention(State& state, uint8_t asc, uint8_t ascq)
{
    state.uaAsc = asc;
    state.uaAscq = ascq;
}

void Model::Execute(State& state, const Command& command, uint64_t nowNs, Result& result)
{
    memset(&result, 0, sizeof(result));
    result.outcome = Outcome::Completed;
    state.commandCount++;
    result.index = state.commandCount;

    Ctx c{state, command, result, nowNs, {}, 0, false, false, nullptr, nullptr, nullptr, nullptr, false, 0, 0, false,
          config_.descriptorSense};
    size_t cdbLength = std::min(command.cdbLength, kMaxCdbLength);
    if (cdbLength > 0)
    {
        memcpy(c.cdb, command.cdb, cdbLength);
    }
    c.op = c.cdb[0];

    ExpireDownload(state, nowNs, result.released);

    // A download data page is counted when it arrives, whatever becomes of it.
    if (c.op == kOpSendDiagnostic && (c.cdb[1] & kSendDiagPf) && !(c.cdb[1] & kSendDiagSelfTest))
    {
        size_t n = std::min((size_t)Be16(c.cdb + 3), command.dataOutLength);
        if (n >= kMicrocodeControlHeaderLength && command.dataOut[0] == kPageDownloadMicrocode &&
            (command.dataOut[8] == kModeDownloadSaveActivate || command.dataOut[8] == kModeDownloadSaveDefer) &&
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
    if ((state.uaAsc != 0 || state.uaAscq != 0) && c.op != kOpInquiry && c.op != kOpReportLuns &&
        c.op != kOpRequestSense)
    {
        c.Check(kSenseUnitAttention, state.uaAsc, state.uaAscq);
        c.Note("unit attention %02X/%02X reported", state.uaAsc, state.uaAscq);
        state.uaAsc = state.uaAscq = 0;
        return;
    }
    size_t opcodeLength = CdbLengthForOpcode(c.op);
    if (opcodeLength > 0)
    {
        uint8_t control = c.cdb[opcodeLength - 1];
        if (control & (kControlNaca | kControlLink))
        {
            c.InvalidCdbField((uint16_t)(opcodeLength - 1), (control & kControlNaca) ? 2 : 0);
            return;
        }
    }
    bool held = state.heldUaAsc != 0 || state.heldUaAscq != 0;
    Dispatch(c);
    // Established once the command after the activation has completed, whatever it is: the
    // initiator may read the outcome first, and every attachment sees the same sequence.
    if (held)
    {
        c.uaAfter = true;
        c.uaAsc = state.heldUaAsc;
        c.uaAscq = state.heldUaAscq;
        state.heldUaAsc = state.heldUaAscq = 0;
    }
    if (c.resetAfter)
    {
        bool activated = false;
        HardResetEffects(state, result.released, kHardResetKinds, &activated);
        c.uaAfter = true;
        c.uaAsc = activated ? kAscOperatingConditionsChanged : kAscPowerOnOrReset;
        c.uaAscq = activated ? kAscqMicrocodeChanged : 0;
        c.Note("; reset%s", activated ? ", new microcode active" : "");
    }
    if (c.uaAfter)
    {
        SetUnitAttention(state, c.uaAsc, c.uaAscq);
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
    const State& s = c.s;
    bool statusRead = false;
    if (c.op == kOpReceiveDiagnosticResults)
    {
        uint8_t page = (c.cdb[1] & kReceiveDiagPcv) ? c.cdb[2] : s.lastSendDiagnosticPage;
        statusRead = page == kPageDownloadMicrocode;
    }
    bool consoleRead = c.op == kOpReadBuffer && (c.cdb[1] & kBufferModeMask) == kBufferModeVendor;
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
            match = c.op == f.opcode && (f.count == 0 || c.s.faultFired[i] < f.count);
            break;
        }
        if (!match)
        {
            continue;
        }
        c.s.faultFired[i]++;
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
            c.s.stuckReads = f.reads;
            return false;
        case FaultKind::BadLength:
            c.badLength = &f;
            return false;
        }
    }
    return false;
}

void Model::Dispatch(Ctx& c)
{
    switch (c.op)
    {
    case kOpTestUnitReady:
        c.Note("ready");
        break;
    case kOpRequestSense:
        RequestSense(c);
        break;
    case kOpInquiry:
        Inquiry(c);
        break;
    case kOpReportLuns:
        ReportLuns(c);
        break;
    case kOpReceiveDiagnosticResults:
        ReceiveDiagnostic(c);
        break;
    case kOpSendDiagnostic:
        SendDiagnostic(c);
        break;
    case kOpWriteBuffer:
        WriteBuffer(c);
        break;
    case kOpReadBuffer:
        if (!config_.readBuffer)
        {
            c.Check(kSenseIllegalRequest, kAscInvalidOpcode, 0);
            c.Note("READ BUFFER not supported");
            break;
        }
        ReadBuffer(c);
        break;
    default:
        c.Check(kSenseIllegalRequest, kAscInvalidOpcode, 0);
        c.Note("operation code %02X not supported", c.op);
        break;
    }
}

// ---- INQUIRY, REQUEST SENSE, REPORT LUNS ----

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
    if (c.s.uaAsc != 0 || c.s.uaAscq != 0)
    {
        key = kSenseUnitAttention;
        asc = c.s.uaAsc;
        ascq = c.s.uaAscq;
        c.s.uaAsc = c.s.uaAscq = 0;
        c.Note("unit attention %02X/%02X returned and cleared", asc, ascq);
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
    size_t length = 0;
    switch (page)
    {
    case kPageSupportedDiagnostic: {
        uint8_t* d = scratch_;
        memset(d, 0, kDiagPageHeaderLength);
        size_t n = kDiagPageHeaderLength;
        const uint8_t pages[] = {kPageSupportedDiagnostic, kPageConfiguration, kPageEnclosureStatus,
                                 kPageElementDescriptor, kPageDownloadMicrocode};
        for (uint8_t p : pages)
        {
            if (p != kPageDownloadMicrocode || config_.page0e)
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

size_t Model::BuildConfigurationPage(const State& state, uint8_t* page, size_t capacity) const
{
    int subs = 1 + config_.secondarySubenclosures;
    int headers = 2 + config_.secondarySubenclosures; // primary: controller and enclosure; others: enclosure
    size_t length = 8 + (size_t)subs * kEnclosureDescriptorLength + (size_t)headers * kTypeHeaderLength;
    if (length > capacity)
    {
        return 0;
    }
    uint8_t* p =
        StartDiagnosticPage(page, length, kPageConfiguration, config_.secondarySubenclosures, state.generationCode);
    for (int s = 0; s < subs; s++)
    {
        p[0] = 0x11; // relative enclosure services process 1 of 1
        p[1] = (uint8_t)s;
        p[2] = s == 0 ? 2 : 1;
        p[3] = (uint8_t)(kEnclosureDescriptorLength - 4);
        PutBe64(p + 4, LogicalIdentifier(config_, s));
        memcpy(p + 12, config_.vendor, kVendorLength);
        memcpy(p + 20, config_.product, kProductLength);
        memcpy(p + 36, state.active.revision, kRevisionLength);
        p += kEnclosureDescriptorLength;
    }
    for (int s = 0; s < subs; s++)
    {
        if (s == 0)
        {
            p[0] = kElementEnclosureServicesController;
            p[1] = 1;
            p[2] = 0;
            p += kTypeHeaderLength;
        }
        p[0] = kElementEnclosure;
        p[1] = 1;
        p[2] = (uint8_t)s;
        p += kTypeHeaderLength;
    }
    return length;
}

size_t Model::BuildEnclosureStatusPage(const State& state, uint8_t* page, size_t capacity) const
{
    int headers = 2 + config_.secondarySubenclosures;
    // Each type: an overall status element and one individual element.
    size_t length = 8 + (size_t)headers * 2 * kElementStatusLength;
    if (length > capacity)
    {
        return 0;
    }
    uint8_t* p = StartDiagnosticPage(page, length, kPageEnclosureStatus, 0, state.generationCode);
    for (int h = 0; h < headers; h++)
    {
        p += kElementStatusLength; // overall status: unsupported
        p[0] = kElementStatusOk;
        p += kElementStatusLength;
    }
    return length;
}

size_t Model::BuildElementDescriptorPage(const State& state, uint8_t* page, size_t capacity) const
{
    size_t length = 8;
    int headers = 2 + config_.secondarySubenclosures;
    char text[32];
    auto describe = [&](int h) -> int {
        if (h == 0)
            return snprintf(text, sizeof(text), "Enclosure services controller");
        if (h == 1)
            return snprintf(text, sizeof(text), "Enclosure");
        return snprintf(text, sizeof(text), "Subenclosure %d", h - 1);
    };
    for (int h = 0; h < headers; h++)
    {
        length += 4 + 4 + (size_t)describe(h);
    }
    if (length > capacity)
    {
        return 0;
    }
    uint8_t* p = StartDiagnosticPage(page, length, kPageElementDescriptor, 0, state.generationCode);
    for (int h = 0; h < headers; h++)
    {
        p += 4; // overall descriptor without text
        int n = describe(h);
        PutBe16(p + 2, (uint32_t)n);
        memcpy(p + 4, text, (size_t)n);
        p += 4 + n;
    }
    return length;
}

uint8_t Model::PeekDownloadStatus(const State& state, int subenclosure, uint8_t* additional) const
{
    const DownloadState& dl = state.download;
    *additional = 0;
    if (dl.phase == DownloadPhase::Receiving && dl.subenclosure == subenclosure)
    {
        return kDlInProgress;
    }
    if (dl.phase == DownloadPhase::Storing && dl.subenclosure == subenclosure)
    {
        return BusyCode(config_, dl.mode);
    }
    if (subenclosure >= 0 && subenclosure < kMaxSubenclosures && state.sub[subenclosure].reportStatus != 0)
    {
        *additional = state.sub[subenclosure].reportAdditional;
        return state.sub[subenclosure].reportStatus;
    }
    return kDlIdle;
}

size_t Model::BuildDownloadStatusPage(Ctx& c, uint8_t* page, size_t capacity, size_t deliverable)
{
    State& s = c.s;
    DownloadState& dl = s.download;
    int subs = 1 + config_.secondarySubenclosures;
    size_t length = kMicrocodeStatusHeaderLength + (size_t)subs * kMicrocodeStatusDescriptorLength;
    memset(page, 0, std::min(capacity, length));
    // The enclosure counts a status as reported when the byte that carries it went out.
    bool primaryStuck = false;
    for (int sub = 0; sub < subs; sub++)
    {
        uint8_t* d = page + kMicrocodeStatusHeaderLength + (size_t)sub * kMicrocodeStatusDescriptorLength;
        size_t statusByte = (size_t)(d + 2 - page);
        bool seen = deliverable > statusByte;
        uint8_t status = kDlIdle, additional = 0;
        uint32_t expected = 0;
        if (sub == 0 && s.stuckReads > 0)
        {
            status = kDlUpdatingStorage;
            primaryStuck = seen;
        }
        else if (dl.phase == DownloadPhase::Receiving && dl.subenclosure == sub)
        {
            status = kDlInProgress;
            expected = dl.expectedOffset;
        }
        else
        {
            if (dl.phase == DownloadPhase::Storing && dl.subenclosure == sub)
            {
                uint64_t elapsed = c.now > dl.lastActivityNs ? c.now - dl.lastActivityNs : 0;
                if (dl.busyReads < config_.busyReads || elapsed < (uint64_t)config_.busyMs * kNsPerMs)
                {
                    status = BusyCode(config_, dl.mode);
                    if (seen)
                    {
                        dl.busyReads++;
                    }
                }
                else
                {
                    FinishStorage(s, c.r.released);
                }
            }
            if (status == kDlIdle && s.sub[sub].reportStatus != 0)
            {
                status = s.sub[sub].reportStatus;
                additional = s.sub[sub].reportAdditional;
                if (seen)
                {
                    ReplaceReport(c, sub, 0, 0);
                }
            }
        }
        d[1] = (uint8_t)sub;
        d[2] = status;
        d[3] = additional;
        PutBe32(d + 4, config_.maxImageSize);
        d[11] = 0; // expected buffer ID: the only one taken
        PutBe32(d + 12, expected);
        if (sub == 0)
        {
            c.Note("status %02X", status);
            if (status == kDlInProgress)
            {
                c.Note(" expect=%u", expected);
            }
            else if (status == kDlFieldError)
            {
                c.Note(" field=%u", additional);
            }
        }
    }
    if (primaryStuck)
    {
        s.stuckReads--;
    }
    page[0] = kPageDownloadMicrocode;
    page[1] = config_.secondarySubenclosures;
    PutBe16(page + kPageLengthOffset, (uint32_t)(length - kDiagPageHeaderLength));
    PutBe32(page + kGenerationCodeOffset, s.generationCode);
    c.Note(" gen=%u", s.generationCode);

    if (c.shortStatus != nullptr)
    {
        size_t shortLength = std::min(capacity, (size_t)kDiagPageHeaderLength + c.shortStatus->length);
        if (shortLength > length)
        {
            memset(page + length, 0, shortLength - length);
        }
        PutBe16(page + kPageLengthOffset, c.shortStatus->length);
        length = shortLength;
        c.Note(" (page length cut to %u)", c.shortStatus->length);
    }
    if (c.garbage != nullptr)
    {
        uint32_t x = c.garbage->seed * 2654435761u + 1;
        for (size_t i = 0; i < length; i++)
        {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            page[i] = (uint8_t)(x >> 8);
        }
        c.Note(" (garbled)");
    }
    return length;
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

// ---- Download microcode ----

void Model::ExpireDownload(State& state, uint64_t nowNs, Released& released)
{
    DownloadState& dl = state.download;
    if (dl.phase != DownloadPhase::Receiving || config_.downloadTimeoutMs == 0)
    {
        return;
    }
    if (nowNs < dl.lastActivityNs)
    {
        dl.lastActivityNs = nowNs; // the clock went back: measure from now
        return;
    }
    if (nowNs - dl.lastActivityNs > (uint64_t)config_.downloadTimeoutMs * kNsPerMs)
    {
        uint8_t sub = dl.subenclosure;
        AbortDownload(state, released);
        state.sub[sub].reportStatus = kDlTimeout;
        state.sub[sub].reportAdditional = 0;
    }
}

void Model::AbortDownload(State& state, Released& released)
{
    DownloadState& dl = state.download;
    if (dl.phase == DownloadPhase::Idle)
    {
        return;
    }
    released.Add(dl.imageId);
    memset(&dl, 0, sizeof(dl));
}

void Model::FinishStorage(State& state, Released& released)
{
    DownloadState& dl = state.download;
    if (dl.phase != DownloadPhase::Storing)
    {
        return;
    }
    uint8_t code = dl.finalStatus;
    uint8_t sub = dl.subenclosure;
    if (code == kDlImageError)
    {
        released.Add(dl.imageId);
    }
    else
    {
        state.generationCode++;
        if (sub == 0)
        {
            ImageInfo image{dl.imageId, dl.imageLength, {}};
            memcpy(image.revision, dl.revision, kRevisionLength);
            released.Add(state.pending.id);
            state.pending = ImageInfo{};
            state.pendingKind = PendingKind::None;
            if (code == kDlCompleteActive)
            {
                released.Add(state.active.id);
                state.active = image;
            }
            else
            {
                state.pending = image;
                state.pendingKind = KindForCompletion(code);
            }
        }
        else
        {
            // A secondary subenclosure's microcode is checked and then kept only as a state.
            released.Add(dl.imageId);
            state.sub[sub].deferred = KindForCompletion(code);
        }
    }
    memset(&dl, 0, sizeof(dl));
    state.sub[sub].reportStatus = code;
    state.sub[sub].reportAdditional = 0;
    state.sub[sub].uaOnReport = code == kDlCompleteActive;
}

// A report that is read or superseded: new microcode that was waiting for its report to be
// announced is announced now, after this command.
void Model::ReplaceReport(Ctx& c, int subenclosure, uint8_t status, uint8_t additional)
{
    SubenclosureState& sub = c.s.sub[subenclosure];
    if (sub.uaOnReport)
    {
        c.uaAfter = true;
        c.uaAsc = kAscOperatingConditionsChanged;
        c.uaAscq = kAscqMicrocodeChanged;
    }
    sub.reportStatus = status;
    sub.reportAdditional = additional;
    sub.uaOnReport = 0;
}

void Model::PostReportedUnitAttentions(State& state)
{
    for (SubenclosureState& sub : state.sub)
    {
        if (sub.uaOnReport)
        {
            SetUnitAttention(state, kAscOperatingConditionsChanged, kAscqMicrocodeChanged);
            sub.uaOnReport = 0;
        }
    }
}

void Model::ActivatePending(State& state, Released& released, uint8_t kinds, bool* activated)
{
    if (state.pendingKind != PendingKind::None && (kinds & KindBit(state.pendingKind)))
    {
        released.Add(state.active.id);
        state.active = state.pending;
        state.pending = ImageInfo{};
        state.pendingKind = PendingKind::None;
        *activated = true;
    }
    for (int s = 1; s < kMaxSubenclosures; s++)
    {
        if (state.sub[s].deferred != PendingKind::None && (kinds & KindBit(state.sub[s].deferred)))
        {
            state.sub[s].deferred = PendingKind::None;
            *activated = true;
        }
    }
}

void Model::HardResetEffects(State& state, Released& released, uint8_t kinds, bool* activated)
{
    FinishStorage(state, released);
    AbortDownload(state, released);
    *activated = false;
    for (const SubenclosureState& sub : state.sub)
    {
        *activated = *activated || sub.uaOnReport;
    }
    bool any = false;
    ActivatePending(state, released, kinds, &any);
    if (any)
    {
        state.generationCode++;
        *activated = true;
    }
    for (SubenclosureState& sub : state.sub)
    {
        sub.reportStatus = 0;
        sub.reportAdditional = 0;
        sub.uaOnReport = 0;
    }
    memset(&state.console, 0, sizeof(state.console));
    state.stuckReads = 0;
}

void Model::DownloadFieldError(Ctx& c, int subenclosure, uint8_t fieldOffset)
{
    // A download whose data are all in is stored, whatever comes after it.
    FinishStorage(c.s, c.r.released);
    AbortDownload(c.s, c.r.released);
    ReplaceReport(c, subenclosure, kDlFieldError, fieldOffset);
    c.Note("download aborted: field error at byte %u -> 80", fieldOffset);
}

void Model::DownloadControlPage(Ctx& c, const uint8_t* p, size_t pageBytes)
{
    State& s = c.s;
    DownloadState& dl = s.download;
    uint8_t sub = p[1];
    if (sub > config_.secondarySubenclosures)
    {
        DownloadFieldError(c, 0, kFieldSubenclosure);
        return;
    }
    size_t pageLength = pageBytes - kDiagPageHeaderLength;
    if (pageLength < kMicrocodeControlPageLengthMin)
    {
        DownloadFieldError(c, sub, kFieldPageLength);
        return;
    }
    if (Be32(p + kFieldGenerationCode) != s.generationCode)
    {
        DownloadFieldError(c, sub, kFieldGenerationCode);
        return;
    }
    // A page that arrives while the previous download is being stored ends the storing first.
    FinishStorage(s, c.r.released);
    uint8_t mode = p[kFieldMode];
    bool receiving = dl.phase == DownloadPhase::Receiving;
    if (receiving && dl.subenclosure != sub)
    {
        DownloadFieldError(c, sub, kFieldSubenclosure);
        return;
    }
    if ((mode != kModeDownloadSaveActivate && mode != kModeDownloadSaveDefer && mode != kModeActivateDeferred) ||
        (receiving && mode != dl.mode))
    {
        DownloadFieldError(c, sub, kFieldMode);
        return;
    }
    if (mode == kModeActivateDeferred)
    {
        bool hasDeferred = sub == 0 ? s.pendingKind == PendingKind::Deferred
                                    : s.sub[sub].deferred == PendingKind::Deferred;
        if (!hasDeferred)
        {
            ReplaceReport(c, sub, kDlNoDeferredMicrocode, 0);
            c.Note("activate: no deferred microcode -> 85");
            return;
        }
        ReplaceReport(c, sub, 0, 0);
        if (sub == 0)
        {
            c.r.released.Add(s.active.id);
            s.active = s.pending;
            s.pending = ImageInfo{};
            s.pendingKind = PendingKind::None;
        }
        else
        {
            s.sub[sub].deferred = PendingKind::None;
        }
        s.generationCode++;
        // The initiator may still read the outcome: the unit attention follows that read.
        s.heldUaAsc = kAscOperatingConditionsChanged;
        s.heldUaAscq = kAscqMicrocodeChanged;
        c.Note("deferred microcode activated, revision %.4s", s.active.revision);
        return;
    }
    if (p[kFieldBufferId] != 0)
    {
        DownloadFieldError(c, sub, kFieldBufferId);
        return;
    }
    uint32_t offset = Be32(p + kFieldBufferOffset);
    uint32_t expected = receiving ? dl.expectedOffset : 0;
    if ((config_.offsetAlignmentCheck && offset % 4 != 0) || offset != expected)
    {
        DownloadFieldError(c, sub, kFieldBufferOffset);
        return;
    }
    uint32_t imageLength = Be32(p + kFieldImageLength);
    if (imageLength == 0 || imageLength > config_.maxImageSize || (receiving && imageLength != dl.imageLength))
    {
        DownloadFieldError(c, sub, kFieldImageLength);
        return;
    }
    uint32_t dataLength = Be32(p + kFieldDataLength);
    if ((uint64_t)kMicrocodeControlPageLengthMin + dataLength > pageLength ||
        pageLength > kMicrocodeControlPageLengthMin + RoundUp4(dataLength) ||
        (uint64_t)offset + dataLength > imageLength)
    {
        DownloadFieldError(c, sub, kFieldDataLength);
        return;
    }
    if (!receiving)
    {
        uint32_t id = s.nextImageId++;
        ReplaceReport(c, sub, 0, 0);
        if (!backing_.CreateImage(id))
        {
            s.sub[sub].reportStatus = kDlInternalErrorSafe;
            c.Note("cannot store the image -> 84");
            return;
        }
        memset(&dl, 0, sizeof(dl));
        dl.phase = DownloadPhase::Receiving;
        dl.subenclosure = sub;
        dl.mode = mode;
        dl.imageLength = imageLength;
        dl.imageId = id;
        dl.crcRegister = kCrc32Start;
        dl.lastActivityNs = c.now;
    }
    if (c.drop)
    {
        c.Note("download offset=%u len=%u dropped", offset, dataLength);
        return;
    }
    TakeDownloadData(c, p + kMicrocodeControlHeaderLength, offset, dataLength);
}

void Model::TakeDownloadData(Ctx& c, const uint8_t* data, uint32_t offset, uint32_t length)
{
    State& s = c.s;
    DownloadState& dl = s.download;
    if (length > 0 && !backing_.WriteImage(dl.imageId, offset, data, length))
    {
        uint8_t sub = dl.subenclosure;
        AbortDownload(s, c.r.released);
        s.sub[sub].reportStatus = kDlInternalErrorSafe;
        c.Note("cannot store the image -> 84");
        return;
    }
    uint64_t end = (uint64_t)offset + length;
    for (uint64_t pos = offset; pos < end && pos < kImageHeaderLength; pos++)
    {
        dl.header[pos] = data[pos - offset];
    }
    uint32_t crcEnd = dl.imageLength >= kImageTrailerLength ? dl.imageLength - (uint32_t)kImageTrailerLength : 0;
    if (offset < crcEnd)
    {
        uint64_t stop = std::min<uint64_t>(end, crcEnd);
        dl.crcRegister = Crc32Update(dl.crcRegister, data, (size_t)(stop - offset));
    }
    for (uint64_t pos = std::max<uint64_t>(offset, crcEnd); pos < end; pos++)
    {
        dl.trailer[pos - crcEnd] = data[pos - offset];
    }
    dl.expectedOffset = (uint32_t)end;
    dl.lastActivityNs = c.now;
    c.Note("download offset=%u len=%u", offset, length);
    if (dl.expectedOffset != dl.imageLength)
    {
        c.Note(" -> 01 expect=%u", dl.expectedOffset);
        return;
    }
    bool valid = CheckReceivedImage(ReceivedImage{dl.header, dl.crcRegister, dl.trailer, dl.imageLength}, dl.revision);
    if (!valid && config_.acceptAnyImage)
    {
        valid = true;
        bool hasHeader = dl.imageLength >= kImageHeaderLength && memcmp(dl.header, kImageMagic, kImageMagicLength) == 0;
        memcpy(dl.revision, hasHeader ? (const char*)dl.header + kImageRevisionOffset : kUnknownRevision,
               kRevisionLength);
    }
    dl.phase = DownloadPhase::Storing;
    dl.busyReads = 0;
    dl.session = s.session;
    if (!valid)
    {
        dl.finalStatus = kDlImageError;
    }
    else
    {
        dl.finalStatus = dl.mode == kModeDownloadSaveActivate ? config_.completeStatus : kDlCompleteDeferred;
    }
    c.Note(" last block, image %s -> %02X then %02X", valid ? "valid" : "invalid", BusyCode(config_, dl.mode),
           dl.finalStatus);
}

// ---- Sessions, resets, power ----

void Model::Settle(State& state, uint64_t nowNs, Released& released)
{
    ExpireDownload(state, nowNs, released);
    FinishStorage(state, released);
    PostReportedUnitAttentions(state);
    if (state.heldUaAsc != 0 || state.heldUaAscq != 0)
    {
        SetUnitAttention(state, state.heldUaAsc, state.heldUaAscq);
        state.heldUaAsc = state.heldUaAscq = 0;
    }
    if (state.console.resetPending)
    {
        HardReset(state, nowNs, released);
    }
}

void Model::BeginSession(State& state, uint64_t nowNs, Released& released)
{
    Settle(state, nowNs, released);
    state.session++;
}

// A reset that activates pending microcode of `kinds` is reported as a microcode change; any
// other as a power on or reset.
void Model::ResetAndReport(State& state, Released& released, uint8_t kinds)
{
    bool activated = false;
    HardResetEffects(state, released, kinds, &activated);
    if (activated)
    {
        SetUnitAttention(state, kAscOperatingConditionsChanged, kAscqMicrocodeChanged);
    }
    else
    {
        SetUnitAttention(state, kAscPowerOnOrReset, 0);
    }
}

void Model::HardReset(State& state, uint64_t nowNs, Released& released)
{
    (void)nowNs;
    ResetAndReport(state, released, kHardResetKinds);
}

void Model::PowerCycle(State& state, uint64_t nowNs, Released& released)
{
    ExpireDownload(state, nowNs, released);
    ResetAndReport(state, released, kPowerOnKinds);
}

} // namespace sesim
