// The element inventory: configuration, enclosure status, element descriptor and additional
// element status pages. The primary subenclosure holds the array device slots, the enclosure
// services controller electronics and the enclosure itself; each secondary subenclosure an
// enclosure element.
//
// The array device slots come first in the type list: the Linux ses driver steps over the
// overall descriptor of the first type only when it walks the element descriptor page, so slot
// names stay right for it only there.
#include <cstdio>
#include <cstring>
#include <string>

#include "sesim_model.h"
#include "sesim_model_internal.h"
#include "sesim_scsi.h"

namespace sesim
{

namespace
{

constexpr uint8_t kPageLengthOffset = 2;
constexpr uint8_t kGenerationCodeOffset = 4;
constexpr size_t kPageHeaderLength = 8; // code, byte 1, length, generation code
constexpr size_t kEnclosureDescriptorLength = 40;
constexpr size_t kTypeHeaderLength = 4;
constexpr size_t kElementStatusLength = 4;
constexpr size_t kElementDescriptorHeaderLength = 4;
constexpr uint8_t kOneProcessOfOne = 0x11; // relative enclosure services process 1 of 1
// Additional element status (SES): SAS, element index present, one phy per slot.
constexpr uint8_t kAesEip = 0x10;
constexpr uint8_t kProtocolSas = 0x6;
constexpr uint8_t kSasDescriptorTypeExpander = 0x40; // the ESC electronics' descriptor type
constexpr size_t kAesHeaderLength = 4;
constexpr size_t kAesSasSlotLength = 4 + 28; // slot header and one phy descriptor
constexpr size_t kAesSasEscLength = 4;       // ESC electronics: no phy descriptors
constexpr uint8_t kSasEndDevice = 0x10;       // device type 001b in bits 6:4
constexpr uint8_t kSasSspTarget = 0x08;

struct TypeEntry
{
    uint8_t type;
    uint8_t count;
    uint8_t subenclosure;
};

// The type descriptor headers in page order.
int Types(const Config& config, TypeEntry* types)
{
    int n = 0;
    if (config.slots > 0)
    {
        types[n++] = {kElementArrayDeviceSlot, config.slots, 0};
    }
    types[n++] = {kElementEnclosureServicesController, 1, 0};
    types[n++] = {kElementEnclosure, 1, 0};
    for (int s = 1; s <= config.secondarySubenclosures; s++)
    {
        types[n++] = {kElementEnclosure, 1, (uint8_t)s};
    }
    return n;
}

constexpr int kMaxTypes = 3 + kMaxSecondarySubenclosures;

std::string ElementName(const TypeEntry& t, int element)
{
    if (t.type == kElementArrayDeviceSlot)
    {
        return SlotName(element);
    }
    if (t.type == kElementEnclosureServicesController)
    {
        return "Enclosure services controller";
    }
    return t.subenclosure == 0 ? "Enclosure" : "Subenclosure " + std::to_string(t.subenclosure);
}

// Clears a diagnostic page of `length` bytes and writes the header the element pages share;
// returns where their body starts.
uint8_t* StartDiagnosticPage(uint8_t* page, size_t length, uint8_t pageCode, uint8_t byte1, uint32_t generation)
{
    memset(page, 0, length);
    page[0] = pageCode;
    page[1] = byte1;
    PutBe16(page + kPageLengthOffset, (uint32_t)(length - kDiagPageHeaderLength));
    PutBe32(page + kGenerationCodeOffset, generation);
    return page + kPageHeaderLength;
}

} // namespace

std::string SlotName(int index)
{
    char text[24];
    snprintf(text, sizeof(text), "Slot %02d", index + 1);
    return text;
}

uint64_t SlotSasAddress(const Config& config, int index)
{
    constexpr uint64_t kSlotBlock = 0xA00;
    return (LogicalIdentifier(config, 0) & ~0xFFFull) | kSlotBlock | (uint64_t)index;
}

size_t Model::BuildConfigurationPage(const State& state, uint8_t* page, size_t capacity) const
{
    TypeEntry types[kMaxTypes];
    int typeCount = Types(config_, types);
    int subs = 1 + config_.secondarySubenclosures;
    size_t length = kPageHeaderLength + (size_t)subs * kEnclosureDescriptorLength + (size_t)typeCount * kTypeHeaderLength;
    if (length > capacity)
    {
        return 0;
    }
    uint8_t* p =
        StartDiagnosticPage(page, length, kPageConfiguration, config_.secondarySubenclosures, state.generationCode);
    for (int s = 0; s < subs; s++)
    {
        int headers = 0;
        for (int t = 0; t < typeCount; t++)
        {
            headers += types[t].subenclosure == s;
        }
        p[0] = kOneProcessOfOne;
        p[1] = (uint8_t)s;
        p[2] = (uint8_t)headers;
        p[3] = (uint8_t)(kEnclosureDescriptorLength - 4);
        PutBe64(p + 4, LogicalIdentifier(config_, s));
        memcpy(p + 12, config_.vendor, kVendorLength);
        memcpy(p + 20, config_.product, kProductLength);
        memcpy(p + 36, state.active.revision, kRevisionLength);
        p += kEnclosureDescriptorLength;
    }
    for (int t = 0; t < typeCount; t++)
    {
        p[0] = types[t].type;
        p[1] = types[t].count;
        p[2] = types[t].subenclosure;
        p += kTypeHeaderLength;
    }
    return length;
}

size_t Model::BuildEnclosureStatusPage(const State& state, uint8_t* page, size_t capacity) const
{
    TypeEntry types[kMaxTypes];
    int typeCount = Types(config_, types);
    size_t length = kPageHeaderLength;
    for (int t = 0; t < typeCount; t++)
    {
        length += (1 + (size_t)types[t].count) * kElementStatusLength;
    }
    if (length > capacity)
    {
        return 0;
    }
    uint8_t* p = StartDiagnosticPage(page, length, kPageEnclosureStatus, 0, state.generationCode);
    for (int t = 0; t < typeCount; t++)
    {
        p += kElementStatusLength; // overall status: unsupported
        for (int e = 0; e < types[t].count; e++)
        {
            p[0] = kElementStatusOk;
            p += kElementStatusLength;
        }
    }
    return length;
}

size_t Model::BuildElementDescriptorPage(const State& state, uint8_t* page, size_t capacity) const
{
    TypeEntry types[kMaxTypes];
    int typeCount = Types(config_, types);
    size_t length = kPageHeaderLength;
    for (int t = 0; t < typeCount; t++)
    {
        length += kElementDescriptorHeaderLength;
        for (int e = 0; e < types[t].count; e++)
        {
            length += kElementDescriptorHeaderLength + ElementName(types[t], e).size();
        }
    }
    if (length > capacity)
    {
        return 0;
    }
    uint8_t* p = StartDiagnosticPage(page, length, kPageElementDescriptor, 0, state.generationCode);
    for (int t = 0; t < typeCount; t++)
    {
        p += kElementDescriptorHeaderLength; // overall descriptor without text
        for (int e = 0; e < types[t].count; e++)
        {
            std::string name = ElementName(types[t], e);
            PutBe16(p + 2, (uint32_t)name.size());
            // The descriptor's text is counted by its length field, not terminated.
            memcpy(p + kElementDescriptorHeaderLength, name.data(), name.size()); // NOLINT(bugprone-not-null-terminated-result)
            p += kElementDescriptorHeaderLength + name.size();
        }
    }
    return length;
}

// SAS descriptors with element indexes: one per array device slot (a device with one phy) and
// one for the ESC electronics, whose indexes follow the slots'.
size_t Model::BuildAdditionalElementStatusPage(const State& state, uint8_t* page, size_t capacity) const
{
    size_t length = kPageHeaderLength + (size_t)config_.slots * (kAesHeaderLength + kAesSasSlotLength) +
                    kAesHeaderLength + kAesSasEscLength;
    if (length > capacity)
    {
        return 0;
    }
    uint8_t* p = StartDiagnosticPage(page, length, kPageAdditionalElementStatus, 0, state.generationCode);
    uint64_t expander = LogicalIdentifier(config_, 0);
    int index = 0;
    for (; index < config_.slots; index++)
    {
        p[0] = kAesEip | kProtocolSas;
        p[1] = (uint8_t)(kAesHeaderLength + kAesSasSlotLength - 2);
        p[3] = (uint8_t)index;
        uint8_t* d = p + kAesHeaderLength;
        d[0] = 1; // phy descriptors
        d[3] = (uint8_t)index; // device slot number
        uint8_t* phy = d + 4;
        phy[0] = kSasEndDevice;
        phy[3] = kSasSspTarget;
        PutBe64(phy + 4, expander);
        PutBe64(phy + 12, SlotSasAddress(config_, index));
        phy[20] = 0; // phy identifier
        p += kAesHeaderLength + kAesSasSlotLength;
    }
    p[0] = kAesEip | kProtocolSas;
    p[1] = (uint8_t)(kAesHeaderLength + kAesSasEscLength - 2);
    p[3] = (uint8_t)index;
    p[kAesHeaderLength + 1] = kSasDescriptorTypeExpander;
    return length;
}

} // namespace sesim
