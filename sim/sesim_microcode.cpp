// The download microcode state machine: control pages in, status pages out, and what resets and
// time do to a download.
#include <algorithm>
#include <cstring>

#include "sesim_model.h"
#include "sesim_model_internal.h"
#include "sesim_scsi.h"

namespace sesim
{

namespace
{

constexpr uint64_t kNsPerMs = 1000000;
constexpr uint8_t kPageLengthOffset = 2;
constexpr uint8_t kGenerationCodeOffset = 4;
constexpr uint32_t kExpectedOffsetAny = 0xFFFFFFFFu;
// An enclosure does not wait for a reader: a storage phase nobody has read for this long counts
// its reports as made.
constexpr uint64_t kUnreadStorageNs = 1000 * kNsPerMs;
// The revision INQUIRY shows while no firmware is left to run (a cut single bank write).
constexpr char kNoFirmwareRevision[kRevisionLength] = {'-', '-', '-', '-'};

uint64_t RoundUp4(uint64_t v)
{
    return (v + 3) & ~(uint64_t)3;
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

// Which waiting microcode a reset of `kind` activates.
bool Activates(ResetKind kind, PendingKind pending)
{
    switch (pending)
    {
    case PendingKind::Deferred:
    case PendingKind::AfterReset:
        return kind == ResetKind::Hard || kind == ResetKind::PowerCycle;
    case PendingKind::AfterPowerOn:
        return kind == ResetKind::PowerCycle;
    default:
        return false;
    }
}

// The storage phase lasts its configured time and its configured number of status reports,
// whoever reads and whichever process is attached.
bool StorageOver(const Config& config, const DownloadState& dl, uint64_t nowNs)
{
    uint64_t elapsed = nowNs > dl.lastActivityNs ? nowNs - dl.lastActivityNs : 0;
    uint64_t unread = nowNs > dl.lastReadNs ? nowNs - dl.lastReadNs : 0;
    return elapsed >= (uint64_t)config.busyMs * kNsPerMs && (dl.busyReads >= config.busyReads || unread >= kUnreadStorageNs);
}

} // namespace

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

// New microcode runs from now on: the enclosure announces it, and restarts for it when it is
// made that way.
void Model::NewMicrocodeActive(State& state, Released& released)
{
    if (!config_.restartOnActivation)
    {
        return;
    }
    (void)released;
    memset(&state.console, 0, sizeof(state.console));
    state.heldUa = UnitAttention{};
    EstablishUnitAttention(state, kAscPowerOnOrReset, 0);
    EstablishUnitAttention(state, kAscOperatingConditionsChanged, kAscqMicrocodeChanged);
}

bool Model::FinishStorage(State& state, Released& released)
{
    DownloadState& dl = state.download;
    if (dl.phase != DownloadPhase::Storing)
    {
        return false;
    }
    uint8_t code = dl.finalStatus;
    uint8_t sub = dl.subenclosure;
    bool activated = false;
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
                state.needsImage = 0;
                activated = true;
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
            activated = code == kDlCompleteActive;
        }
    }
    memset(&dl, 0, sizeof(dl));
    SubenclosureState& s = state.sub[sub];
    s.reportStatus = code;
    s.reportAdditional = 0;
    s.uaOnReport = activated;
    if (activated && config_.restartOnActivation)
    {
        s.uaOnReport = 0;
        if (config_.restartClearsStatus)
        {
            s.reportStatus = kDlIdle;
        }
        NewMicrocodeActive(state, released);
        return true;
    }
    return false;
}

void Model::EndStorageIfOver(State& state, uint64_t nowNs, Released& released)
{
    if (state.download.phase == DownloadPhase::Storing && StorageOver(config_, state.download, nowNs))
    {
        FinishStorage(state, released);
    }
}

// A reset or power cycle while the flash is written: what is left depends on the flash.
void Model::InterruptStorage(State& state, Released& released)
{
    DownloadState& dl = state.download;
    if (dl.phase != DownloadPhase::Storing)
    {
        return;
    }
    uint8_t sub = dl.subenclosure;
    AbortDownload(state, released);
    if (config_.flash == FlashModel::Dual)
    {
        return;
    }
    state.sub[sub].reportStatus = kDlInternalErrorNeedsImage;
    state.sub[sub].reportAdditional = 0;
    if (sub == 0)
    {
        released.Add(state.active.id);
        released.Add(state.pending.id);
        state.active = ImageInfo{};
        memcpy(state.active.revision, kNoFirmwareRevision, kRevisionLength);
        state.pending = ImageInfo{};
        state.pendingKind = PendingKind::None;
        state.needsImage = 1;
    }
}

// A report that is read or superseded: new microcode that was waiting for its report to be
// announced is announced now, after this command.
void Model::ReplaceReport(Ctx& c, int subenclosure, uint8_t status, uint8_t additional)
{
    SubenclosureState& sub = c.s.sub[subenclosure];
    if (sub.uaOnReport)
    {
        c.uaAfter = true;
        c.uaAfterValue = UnitAttention{kAscOperatingConditionsChanged, kAscqMicrocodeChanged};
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
            EstablishUnitAttention(state, kAscOperatingConditionsChanged, kAscqMicrocodeChanged);
            sub.uaOnReport = 0;
        }
    }
}

bool Model::ActivatePending(State& state, Released& released, ResetKind kind)
{
    bool activated = false;
    if (Activates(kind, state.pendingKind))
    {
        released.Add(state.active.id);
        state.active = state.pending;
        state.pending = ImageInfo{};
        state.pendingKind = PendingKind::None;
        activated = true;
    }
    for (int s = 1; s < kMaxSubenclosures; s++)
    {
        if (Activates(kind, state.sub[s].deferred))
        {
            state.sub[s].deferred = PendingKind::None;
            activated = true;
        }
    }
    return activated;
}

void Model::DownloadFieldError(Ctx& c, int subenclosure, uint8_t fieldOffset)
{
    // A download whose data are all in is stored, whatever comes after it.
    FinishStorage(c.s, c.r.released);
    AbortDownload(c.s, c.r.released);
    ReplaceReport(c, subenclosure, kDlFieldError, fieldOffset);
    c.Note("download aborted: field error at byte %u -> 80", fieldOffset);
}

// A fault ends the download in progress (or the next status report) with a chosen code.
void Model::EndDownloadWith(Ctx& c, uint8_t status)
{
    uint8_t sub = c.s.download.phase != DownloadPhase::Idle ? c.s.download.subenclosure : 0;
    AbortDownload(c.s, c.r.released);
    ReplaceReport(c, sub, status, 0);
    c.Note("; download ends with %02X", status);
}

void Model::ActivateDeferred(Ctx& c, uint8_t sub)
{
    State& s = c.s;
    bool hasDeferred =
        sub == 0 ? s.pendingKind == PendingKind::Deferred : s.sub[sub].deferred == PendingKind::Deferred;
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
    c.Note("deferred microcode activated, revision %.4s", s.active.revision);
    if (config_.restartOnActivation)
    {
        NewMicrocodeActive(s, c.r.released);
        c.Note("; restarting");
        return;
    }
    // The initiator may still read the outcome: the unit attention follows that read.
    s.heldUa = UnitAttention{kAscOperatingConditionsChanged, kAscqMicrocodeChanged};
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
    // The enclosure runs one download at a time; a page for another subenclosure meanwhile is
    // refused in that subenclosure's descriptor and leaves the running download alone.
    if (dl.phase != DownloadPhase::Idle && dl.subenclosure != sub)
    {
        ReplaceReport(c, sub, kDlFieldError, kFieldSubenclosure);
        c.Note("subenclosure %u busy with a download -> 80 for subenclosure %u", dl.subenclosure, sub);
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
    if ((mode != kModeDownloadSaveActivate && mode != kModeDownloadSaveDefer && mode != kModeActivateDeferred) ||
        (receiving && mode != dl.mode))
    {
        DownloadFieldError(c, sub, kFieldMode);
        return;
    }
    if (mode == kModeActivateDeferred)
    {
        ActivateDeferred(c, sub);
        return;
    }
    if (p[kFieldBufferId] != config_.bufferId)
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
    dl.lastReadNs = c.now;
    if (!valid)
    {
        dl.finalStatus = kDlImageError;
    }
    else if (s.needsImage && dl.subenclosure == 0)
    {
        // With no firmware left there is nothing to defer to: a good image runs at once.
        dl.finalStatus = kDlCompleteActive;
    }
    else
    {
        dl.finalStatus = dl.mode == kModeDownloadSaveActivate ? config_.completeStatus : kDlCompleteDeferred;
    }
    c.Note(" last block, image %s -> %02X then %02X", valid ? "valid" : "invalid", BusyCode(config_, dl.mode),
           dl.finalStatus);
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

// The status of one subenclosure for a status page; `seen` when the byte that carries it goes
// out to the initiator (only then does a report count as made).
uint8_t Model::ReadDownloadStatus(Ctx& c, int sub, bool seen, uint8_t* additional, uint32_t* expected)
{
    State& s = c.s;
    DownloadState& dl = s.download;
    *additional = 0;
    *expected = 0;
    if (dl.phase == DownloadPhase::Receiving && dl.subenclosure == sub)
    {
        *expected = config_.anyOffset ? kExpectedOffsetAny : dl.expectedOffset;
        return kDlInProgress;
    }
    if (dl.phase == DownloadPhase::Storing && dl.subenclosure == sub)
    {
        uint8_t busy = BusyCode(config_, dl.mode);
        if (!StorageOver(config_, dl, c.now))
        {
            if (seen)
            {
                dl.busyReads++;
                dl.lastReadNs = c.now;
            }
            return busy;
        }
        if (FinishStorage(s, c.r.released))
        {
            // The enclosure restarted on its new microcode: this read found it still busy.
            return busy;
        }
    }
    uint8_t status = s.sub[sub].reportStatus;
    if (status != 0)
    {
        *additional = s.sub[sub].reportAdditional;
        if (seen)
        {
            ReplaceReport(c, sub, 0, 0);
        }
    }
    return status;
}

size_t Model::BuildDownloadStatusPage(Ctx& c, uint8_t* page, size_t capacity, size_t deliverable)
{
    State& s = c.s;
    int subs = 1 + config_.secondarySubenclosures;
    size_t length = kMicrocodeStatusHeaderLength + (size_t)subs * kMicrocodeStatusDescriptorLength;
    memset(page, 0, std::min(capacity, length));
    bool primaryStuck = false;
    for (int sub = 0; sub < subs; sub++)
    {
        uint8_t* d = page + kMicrocodeStatusHeaderLength + (size_t)sub * kMicrocodeStatusDescriptorLength;
        bool seen = deliverable > (size_t)(d + 2 - page);
        uint8_t status = kDlIdle, additional = 0;
        uint32_t expected = 0;
        if (sub == 0 && s.stuckReads > 0)
        {
            status = kDlUpdatingStorage;
            primaryStuck = seen;
        }
        else
        {
            status = ReadDownloadStatus(c, sub, seen, &additional, &expected);
        }
        d[1] = (uint8_t)sub;
        d[2] = status;
        d[3] = additional;
        PutBe32(d + 4, config_.maxImageSize);
        d[11] = config_.bufferId;
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

} // namespace sesim
