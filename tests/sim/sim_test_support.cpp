#include "sim_test_support.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace simtest
{

using vocab::Be16;

Enclosure::Enclosure(const sesim::Config& c, const sesim::InitialState& initial) : config(c)
{
    std::string error;
    backing.images[1] = Image(initial.revision, 4096);
    if (!sesim::InitState(initial, 1, 4096, &state, &error))
        throw std::runtime_error(error);
    model = std::make_unique<sesim::Model>(config, backing);
}

Reply Enclosure::Run(const std::vector<uint8_t>& cdb, const std::vector<uint8_t>& dout, size_t dinRoom)
{
    Reply reply;
    // Exactly sized copies, so that the sanitizers catch a read or write past any of them.
    std::unique_ptr<uint8_t[]> cdbCopy(new uint8_t[cdb.size() + 1]);
    std::copy(cdb.begin(), cdb.end(), cdbCopy.get());
    std::unique_ptr<uint8_t[]> doutCopy(new uint8_t[dout.size() + 1]);
    std::copy(dout.begin(), dout.end(), doutCopy.get());
    std::unique_ptr<uint8_t[]> din(new uint8_t[dinRoom + 1]);
    sesim::Command command{cdbCopy.get(), cdb.size(), dout.empty() ? nullptr : doutCopy.get(), dout.size(),
                           dinRoom == 0 ? nullptr : din.get(), dinRoom};
    model->Execute(state, command, now, reply.result);
    for (int i = 0; i < reply.result.released.count; i++)
        backing.images.erase(reply.result.released.ids[i]);
    reply.din.assign(din.get(), din.get() + reply.result.dataInLength);
    return reply;
}

Reply Enclosure::RequestSense(bool descriptor, uint8_t allocation)
{
    return Run({0x03, (uint8_t)(descriptor ? 1 : 0), 0, 0, allocation, 0}, {}, allocation);
}

Reply Enclosure::Inquiry(uint16_t allocation)
{
    return Run({0x12, 0, 0, (uint8_t)(allocation >> 8), (uint8_t)allocation, 0}, {}, allocation);
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
    s.generation = vocab::Be32(r.din, 4);
    s.status = r.din[10];
    s.additional = r.din[11];
    s.maxSize = vocab::Be32(r.din, 12);
    s.expectedOffset = vocab::Be32(r.din, 20);
    return s;
}

DownloadStatus Enclosure::Download(const std::vector<uint8_t>& image, uint8_t mode, size_t block,
                                  std::vector<uint8_t>* seen)
{
    DownloadStatus s = Status();
    auto read = [&] {
        s = Status();
        if (seen != nullptr)
            seen->push_back(s.status);
    };
    uint32_t offset = 0;
    while (offset < image.size())
    {
        size_t n = std::min(block, image.size() - offset);
        std::vector<uint8_t> data(image.begin() + offset, image.begin() + offset + (long)n);
        SendDiagnostic(vocab::ControlPage(mode, s.generation, offset, (uint32_t)image.size(), data));
        read();
        if (s.status != 0x01)
            break;
        offset += (uint32_t)n;
    }
    for (int polls = 0; polls < 100 && (s.status == 0x02 || s.status == 0x03); polls++)
        read();
    return s;
}

Reply Enclosure::ConsoleWrite(const std::string& text)
{
    std::vector<uint8_t> message = vocab::ConsoleMessage(text);
    uint32_t n = (uint32_t)message.size();
    return Run({0x3B, 0x01, 0x01, 0, 0, 0, (uint8_t)(n >> 16), (uint8_t)(n >> 8), (uint8_t)n, 0}, message);
}

Reply Enclosure::ConsoleRead(uint32_t allocation)
{
    return Run({0x3C, 0x01, 0x01, 0, 0, 0, (uint8_t)(allocation >> 16), (uint8_t)(allocation >> 8),
                (uint8_t)allocation, 0},
               {}, allocation);
}

std::string Enclosure::Console(const std::string& text)
{
    ConsoleWrite(text);
    Reply r = ConsoleRead();
    if (!r.Good() || r.din.size() < 4 || Be16(r.din, 2) != 0)
        return "(not one whole response)";
    size_t length = std::min<size_t>(Be16(r.din, 0), r.din.size() - 4);
    return std::string(r.din.begin() + 4, r.din.begin() + 4 + (long)length);
}

} // namespace simtest
