// Private to the model's sources: the per-command context and byte-order helpers.
#ifndef SESIM_MODEL_INTERNAL_H
#define SESIM_MODEL_INTERNAL_H

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "sesim_model.h"
#include "sesim_scsi.h"

namespace sesim
{

inline uint16_t Be16(const uint8_t* p)
{
    return (uint16_t)((p[0] << 8) | p[1]);
}

inline uint32_t Be24(const uint8_t* p)
{
    return ((uint32_t)p[0] << 16) | ((uint32_t)p[1] << 8) | p[2];
}

inline uint32_t Be32(const uint8_t* p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

inline void PutBe16(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}

inline void PutBe24(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 16);
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)v;
}

inline void PutBe32(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

inline void PutBe64(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 8; i++)
    {
        p[i] = (uint8_t)(v >> (56 - 8 * i));
    }
}

// The enclosure logical identifier of a subenclosure (NAA 5, derived from the serial number).
uint64_t LogicalIdentifier(const Config& config, int subenclosure);

// Everything one command needs, on the stack of Execute.
struct Model::Ctx
{
    State& s;
    const Command& cmd;
    Result& r;
    uint64_t now;
    uint8_t cdb[kMaxCdbLength] = {};
    uint8_t op = 0;
    const CommandInfo* info = nullptr; // null: an operation code the enclosure does not implement
    bool dataPage = false;
    bool drop = false;
    const FaultSpec* shortStatus = nullptr;
    const FaultSpec* garbage = nullptr;
    const FaultSpec* badLength = nullptr;
    const FaultSpec* failAfter = nullptr; // a fault with when=after: applied once the command is done
    const FaultSpec* endWith = nullptr;   // dl-status: the download ends once the command is done
    const FaultSpec* gencodeAfter = nullptr; // gencode: moves on once the command is done
    bool uaAfter = false;                 // uaAfterValue is established once the command is done
    UnitAttention uaAfterValue = {};
    bool resetAfter = false;
    bool descriptorSense = false;

    void Note(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        size_t used = strnlen(r.note, sizeof(r.note));
        if (used >= sizeof(r.note) - 1)
        {
            return;
        }
        va_list args;
        va_start(args, format);
        vsnprintf(r.note + used, sizeof(r.note) - used, format, args);
        va_end(args);
    }

    void Check(uint8_t key, uint8_t asc, uint8_t ascq, FieldPointer field = FieldPointer{false, false, 0, -1})
    {
        r.status = kStatusCheckCondition;
        r.senseLength = BuildSense(r.sense, sizeof(r.sense), descriptorSense, key, asc, ascq, field);
    }

    // What a cut single bank flash write leaves: nothing but the boot code's few commands.
    void NoFirmware()
    {
        Check(kSenseNotReady, kAscLogicalUnitNotReady, 0);
        Note("no firmware: a good image must be downloaded");
    }

    void InvalidCdbField(uint16_t byte, int8_t bit = -1)
    {
        Check(kSenseIllegalRequest, kAscInvalidFieldInCdb, 0, FieldPointer{true, true, byte, bit});
        Note("invalid field in CDB byte %u", byte);
    }

    void InvalidParameterField(uint16_t byte, int8_t bit = -1)
    {
        Check(kSenseIllegalRequest, kAscInvalidFieldInParameterList, 0, FieldPointer{true, false, byte, bit});
        Note("invalid field in parameter list byte %u", byte);
    }

    // Data-in: as much of `length` bytes as both the allocation length and the initiator's buffer take.
    void Deliver(const uint8_t* data, size_t length, size_t allocation)
    {
        size_t n = std::min(std::min(length, allocation), cmd.dataInLength);
        if (n > 0)
        {
            memcpy(cmd.dataIn, data, n);
        }
        r.dataInLength = n;
    }

    // Data-out: the device takes the parameter list length from the CDB, but never more than the
    // initiator actually sent.
    size_t TakeDataOut(size_t parameterListLength)
    {
        size_t n = std::min(parameterListLength, cmd.dataOutLength);
        r.dataOutUsed = n;
        return n;
    }

    size_t Deliverable(size_t allocation) const { return std::min(allocation, cmd.dataInLength); }
};


} // namespace sesim

#endif
