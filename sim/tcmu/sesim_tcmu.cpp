// sesim-tcmu: serves a simulated enclosure behind a TCMU user backstore, so that programs reach
// it through the kernel's SCSI midlayer and sg driver as /dev/sgN.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "tcmu_ring.h"

namespace
{

constexpr uint8_t kOpTestUnitReady = 0x00;
constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kStatusCheckCondition = 0x02;
constexpr uint8_t kPeripheralTypeEnclosure = 0x0D;
constexpr size_t kStandardInquiryLength = 36;
constexpr uint8_t kInquiryVersionSpc3 = 0x05;
constexpr uint8_t kResponseDataFormat = 0x02;

// A device that answers only INQUIRY and TEST UNIT READY: enough to prove the ring protocol
// without the enclosure model.
class StubResponder : public sesim::tcmu::Responder
{
  public:
    void Execute(sesim::tcmu::Exchange& x) override
    {
        if (x.cdb[0] == kOpTestUnitReady)
        {
            return;
        }
        if (x.cdb[0] == kOpInquiry && x.cdb[1] == 0)
        {
            uint8_t data[kStandardInquiryLength] = {};
            data[0] = kPeripheralTypeEnclosure;
            data[2] = kInquiryVersionSpc3;
            data[3] = kResponseDataFormat;
            data[4] = kStandardInquiryLength - 5;
            memcpy(&data[8], "SESIM   ", 8);
            memcpy(&data[16], "TCMU STUB       ", 16);
            memcpy(&data[32], "0001", 4);
            const size_t allocation = (size_t{x.cdb[3]} << 8) | x.cdb[4];
            x.dataInLength = std::min({sizeof(data), allocation, x.dataInCapacity});
            memcpy(x.dataIn, data, x.dataInLength);
            return;
        }
        x.status = kStatusCheckCondition;
        x.sense[0] = 0x70;
        x.sense[2] = 0x05;
        x.sense[7] = 10;
        x.sense[12] = 0x20;
        x.senseLength = 18;
    }
};

void Usage(FILE* out)
{
    fprintf(out, "Usage: sesim-tcmu --stub [--ready FILE] UIO_DEVICE\n");
}

} // namespace

int main(int argc, char** argv)
{
    bool stub = false;
    std::string ready;
    std::string uio;
    for (int i = 1; i < argc; i++)
    {
        const std::string arg = argv[i];
        if (arg == "--stub")
        {
            stub = true;
        }
        else if (arg == "--ready" && i + 1 < argc)
        {
            ready = argv[++i];
        }
        else if (arg == "--help")
        {
            Usage(stdout);
            return 0;
        }
        else if (uio.empty() && arg[0] != '-')
        {
            uio = arg;
        }
        else
        {
            Usage(stderr);
            return 2;
        }
    }
    if (!stub || uio.empty())
    {
        Usage(stderr);
        return 2;
    }
    sesim::tcmu::UioDevice device;
    std::string why;
    if (!device.Open(uio, &why))
    {
        fprintf(stderr, "sesim-tcmu: %s\n", why.c_str());
        return 1;
    }
    if (!ready.empty())
    {
        FILE* f = fopen(ready.c_str(), "w");
        if (f != nullptr)
        {
            fclose(f);
        }
    }
    StubResponder responder;
    why = sesim::tcmu::Serve(device, responder);
    fprintf(stderr, "sesim-tcmu: %s\n", why.c_str());
    return 1;
}
