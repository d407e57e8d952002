#include "sim_test_support.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

namespace simtest
{

bool MemoryBacking::CreateImage(uint32_t id)
{
    if (failCreate)
    {
        return false;
    }
    images[id].clear();
    return true;
}

bool MemoryBacking::WriteImage(uint32_t id, uint32_t offset, const uint8_t* data, size_t length)
{
    if (failWrite || images.count(id) == 0)
    {
        return false;
    }
    std::vector<uint8_t>& image = images[id];
    if (image.size() < offset + length)
    {
        image.resize(offset + length);
    }
    memcpy(image.data() + offset, data, length);
    return true;
}

std::string Reply::Sense() const
{
    const uint8_t* s = result.sense;
    if (result.senseLength < 4)
    {
        return "-";
    }
    char text[16];
    if ((s[0] & 0x7F) >= 0x72)
    {
        snprintf(text, sizeof(text), "%02x/%02x/%02x", s[1] & 0x0F, s[2], s[3]);
    }
    else
    {
        snprintf(text, sizeof(text), "%02x/%02x/%02x", s[2] & 0x0F, s[12], s[13]);
    }
    return text;
}

Enclosure::Enclosure(const sesim::Config& c, const sesim::InitialState& initial) : config(c)
{
    std::string error;
    backing.images[1] = Image(initial.revision, 4096);
    if (!sesim::InitState(initial, 1, 4096, &state, &error))
    {
        throw std::runtime_error(error);
    }
    model = std::make_unique<sesim::Model>(config, backing);
}

Reply Enclosure::Run(const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& dout, size_t dinRoom)
{
    Reply reply;
    // Exactly sized copies, so that the sanitizers catch a read or write past any of them.
    std::unique_ptr<uint8_t[]> cdbCopy(new uint8_t[cdb.size() + 1]);
    if (!cdb.empty())
    {
        memcpy(cdbCopy.get(), cdb.data(), cdb.size());
    }
    std::unique_ptr<uint8_t[]> doutCopy(new uint8_t[dout.size() + 1]);
    if (!dout.empty())
    {
        memcpy(doutCopy.get(), dout.data(), dout.size());
    }
    std::unique_ptr<uint8_t[]> din(new uint8_t[dinRoom + 1]);
    sesim::Command command{cdbCopy.get(), cdb.size(), dout.empty() ? nullptr : doutCopy.get(), dout.size(),
                           dinRoom == 0 ? nullptr : din.get(), dinRoom};
    model->Execute(state, command, now, reply.result);
    for (int i = 0; i < reply.result.released.count; i++)
    {
        backing.images.erase(reply.result.released.ids[i]);
    }
    reply.din.assign(din.get(), din.get() + reply.result.dataInLength);
    return reply;
}

Reply Enclosure::RequestSense(bool descriptor, uint8_t allocation)
{
    return Run({0x03, (uint8_t)(descriptor ? 1 : 0), 0, 0, allocation, 0}, {}, allocation);
}

Reply Enclosure::Inquiry(uint16_t allocation, bool evpd, uint8_t page)
{
    return Run({0x12, (uint8_t)(evpd ? 1 : 0), page, (uint8_t)(allocation >> 8), (uint8_t)allocation, 0}, {},
               allocation);
}

Reply Enclosure::ReceiveDiagnostic(uint8_t page, uint16_t allocation, bool pcv)
{
    return Run({0x1C, (uint8_t)(pcv ? 1 : 0), page, (uint8_t)(allocation >> 8), (uint8_t)allocation, 0}, {},
               allocation);
}

Reply Enclosure::SendDiagnostic(const std::vector<uint8_t>& page)
{
    return Run({0x1D, 0x10, 0, (uint8_t)(page.size() >> 8), (uint8_t)page.size(), 0}, page);
}

DownloadStatus Enclosure::Status(uint16_t allocation)
{
    DownloadStatus s;
    Reply r = ReceiveDiagnostic(0x0E, allocation);
    if (!r.Good() || r.din.size() < 24)
    {
        s.status = 0xFF;
        return s;
    }
    s.pageLength = Be16(r.din, 2);
    s.generation = Be32(r.din, 4);
    s.status = r.din[10];
    s.additional = r.din[11];
    s.maxSize = Be32(r.din, 12);
    s.expectedOffset = Be32(r.din, 20);
    return s;
}

std::vector<uint8_t> Enclosure::ControlPage(uint8_t mode, uint32_t generation, uint32_t offset, uint32_t imageLength,
                                            const std::vector<uint8_t>& data, uint8_t bufferId, uint8_t subenclosure)
{
    size_t padded = (data.size() + 3) / 4 * 4;
    std::vector<uint8_t> page(24 + padded, 0);
    uint32_t pageLength = (uint32_t)(padded + 20);
    page[0] = 0x0E;
    page[1] = subenclosure;
    page[2] = (uint8_t)(pageLength >> 8);
    page[3] = (uint8_t)pageLength;
    for (int i = 0; i < 4; i++)
    {
        page[4 + i] = (uint8_t)(generation >> (24 - 8 * i));
        page[12 + i] = (uint8_t)(offset >> (24 - 8 * i));
        page[16 + i] = (uint8_t)(imageLength >> (24 - 8 * i));
        page[20 + i] = (uint8_t)(data.size() >> (24 - 8 * i));
    }
    page[8] = mode;
    page[11] = bufferId;
    std::copy(data.begin(), data.end(), page.begin() + 24);
    return page;
}

DownloadStatus Enclosure::Download(const std::vector<uint8_t>& image, uint8_t mode, size_t block)
{
    DownloadStatus s = Status();
    uint32_t offset = 0;
    while (offset < image.size())
    {
        size_t n = std::min(block, image.size() - offset);
        std::vector<uint8_t> data(image.begin() + offset, image.begin() + offset + (long)n);
        SendDiagnostic(ControlPage(mode, s.generation, offset, (uint32_t)image.size(), data));
        s = Status();
        if (s.status != 0x01)
        {
            break;
        }
        offset += (uint32_t)n;
    }
    for (int polls = 0; polls < 100 && (s.status == 0x02 || s.status == 0x03); polls++)
    {
        s = Status();
    }
    return s;
}

Reply Enclosure::ConsoleWrite(const std::string& text)
{
    std::vector<uint8_t> message(text.size() + 3, 0);
    message[0] = 0x01;
    memcpy(message.data() + 2, text.data(), text.size());
    uint32_t n = (uint32_t)message.size();
    return Run({0x3B, 0x01, 0x01, 0, 0, 0, (uint8_t)(n >> 16), (uint8_t)(n >> 8), (uint8_t)n, 0}, message);
}

Reply Enclosure::ConsoleRead(uint32_t allocation)
{
    return Run({0x3C, 0x01, 0x01, 0, 0, 0, (uint8_t)(allocation >> 16), (uint8_t)(allocation >> 8),
                (uint8_t)allocation, 0},
               {}, allocation);
}

std::string Enclosure::Console(const std::string& text, int* responses)
{
    ConsoleWrite(text);
    std::string out;
    int count = 0;
    for (;;)
    {
        Reply r = ConsoleRead();
        count++;
        if (!r.Good() || r.din.size() < 4 || count > 100000)
        {
            break;
        }
        size_t length = Be16(r.din, 0);
        out.append(r.din.begin() + 4, r.din.begin() + 4 + (long)std::min(length, r.din.size() - 4));
        if (Be16(r.din, 2) == 0)
        {
            break;
        }
    }
    if (responses != nullptr)
    {
        *responses = count;
    }
    return out;
}

std::vector<uint8_t> Image(const char* revision, uint32_t size)
{
    return sesim::MakeImage(revision, size);
}

uint32_t Be32(const std::vector<uint8_t>& b, size_t at)
{
    return ((uint32_t)b.at(at) << 24) | ((uint32_t)b.at(at + 1) << 16) | ((uint32_t)b.at(at + 2) << 8) | b.at(at + 3);
}

uint16_t Be16(const std::vector<uint8_t>& b, size_t at)
{
    return (uint16_t)((b.at(at) << 8) | b.at(at + 1));
}

} // namespace simtest
