#include "fwpush_expect.h"

#include <cstdio>

#include <gtest/gtest.h>

namespace fwpush_e2e
{

std::string Fwpush()
{
    return e2e::Bin("fwpush");
}

std::vector<std::string> FwpushArgv(std::vector<std::string> options, const std::vector<std::string>& rest)
{
    options.insert(options.begin(), Fwpush());
    options.insert(options.end(), rest.begin(), rest.end());
    return options;
}

std::string Banner()
{
    const std::string stars(64, '*');
    return "\n" + stars + "\nSES enclosure firmware download utility, version 1.04\n" + stars + "\n\n";
}

std::string Help()
{
    return "Command usage: fwpush [options] <dev> <fw file>\n"
           "Options: -p=max_page_size    The maximum page size\n"
           "         -d                  Deferred activate\n"
           "         -a                  Deferred activate (activate on completion)\n"
           "         -A                  Activations only\n"
           "         -t=buffer_id        The target buffer ID\n"
           "         -h                  Print this message\n"
           "\n"
           "Version: 1.04\n"
           "\n";
}

std::string ParameterBlock(const Params& p)
{
    uint32_t block = p.maxPage - kHeader;
    uint32_t blocks = p.length / block + (p.length % block != 0 ? 1 : 0);
    return "Download Parameters\n" + std::string(49, '-') + "\n" +
           "File name             : " + p.file + "\n" +
           "File length           : " + std::to_string(p.length) + " Bytes\n" +
           "SES Target device     : " + p.device + "\n" +
           "Maximum page length   : " + std::to_string(p.maxPage) + " Bytes\n" +
           "Num download blocks   : " + std::to_string(blocks) + "\n" +
           "Destination buffer ID : " + std::to_string(p.bufferId) + "\n" +
           "Download mode         : " + p.mode + "\n" +
           "Send activate         : " + (p.activate ? "Yes" : "No") + "\n";
}

std::string Identification(const std::string& revision, const std::string& vendor, const std::string& product)
{
    return "Identifying device\n"
           "Vendor                : " + vendor + "\n"
           "Product               : " + product + "\n"
           "Revision              : " + revision + "\n"
           "Device supports SES\n"
           "Checking and clearing Unit Attention Condition\n"
           "Checking for SES Page 0xE support\n"
           "Device capable of Page 0xE download\n";
}

std::string Progress(const std::vector<uint32_t>& blocks, uint32_t fileLength)
{
    std::string out;
    uint32_t offset = 0;
    int count = 0;
    for (uint32_t size : blocks)
    {
        offset += size;
        count++;
        char line[64];
        snprintf(line, sizeof(line), "\rBlock %d, %3.2f%%", count, offset * 100.0 / fileLength);
        out += line;
    }
    return out;
}

std::string DownloadOut(const Params& p, const std::vector<uint32_t>& blocks, const std::string& revision)
{
    return Banner() + ParameterBlock(p) + Identification(revision) +
           "Waiting for existing download operations...\nDownloading...\n" + Progress(blocks, p.length);
}

std::vector<uint32_t> Blocks(uint32_t length, uint32_t blockSize)
{
    std::vector<uint32_t> blocks;
    for (uint32_t at = 0; at < length; at += blockSize)
        blocks.push_back(length - at < blockSize ? length - at : blockSize);
    return blocks;
}

std::string Sequence(const std::vector<e2e::LogEntry>& log)
{
    std::string out;
    for (const e2e::LogEntry& e : log)
    {
        if (!out.empty())
            out += " ";
        char name[8];
        if (e.opcode == 0x1C)
            snprintf(name, sizeof(name), "RD%02X", e.cdb.size() > 2 ? e.cdb[2] : 0xFF);
        else
            snprintf(name, sizeof(name), "%02x", e.opcode);
        out += e.opcode == 0x12 ? "INQ" : e.opcode == 0x00 ? "TUR" : e.opcode == 0x1D ? "SD" : name;
    }
    return out;
}

uint32_t GencodeBefore(const std::vector<e2e::LogEntry>& log, int index, uint32_t initial)
{
    uint32_t gencode = initial;
    for (const e2e::LogEntry& e : log)
    {
        if (e.index >= index)
            break;
        size_t at = e.note.find(" gen=");
        if (e.opcode == 0x1C && at != std::string::npos)
            gencode = (uint32_t)std::stoul(e.note.substr(at + 5));
    }
    return gencode;
}

std::vector<e2e::LogEntry> Sends(const std::vector<e2e::LogEntry>& log)
{
    return e2e::WithOpcode(log, 0x1D);
}

void ExpectDataPage(const e2e::LogEntry& entry, const std::vector<uint8_t>& header, const std::string& image,
                    uint32_t offset, uint32_t dataLength)
{
    uint32_t padded = (dataLength + 3) & ~3u;
    uint32_t sent = kHeader + padded;
    SCOPED_TRACE(entry.line);
    ASSERT_EQ(vocab::Hex(entry.cdb), vocab::Hex(vocab::Bytes{0x1D, 0x10, 0x00, (uint8_t)(sent >> 8), (uint8_t)sent, 0x00}));
    ASSERT_EQ(entry.doutLength, sent);
    ASSERT_GE(entry.dout.size(), kHeader);
    EXPECT_EQ(vocab::Hex(std::vector<uint8_t>(entry.dout.begin(), entry.dout.begin() + kHeader)), vocab::Hex(header));
    std::vector<uint8_t> expected(image.begin() + offset, image.begin() + offset + dataLength);
    expected.resize(padded, 0);
    size_t shown = entry.dout.size() - kHeader;
    ASSERT_LE(shown, expected.size());
    EXPECT_EQ(vocab::Hex(std::vector<uint8_t>(entry.dout.begin() + kHeader, entry.dout.end())),
              vocab::Hex(std::vector<uint8_t>(expected.begin(), expected.begin() + shown)));
}

void ExpectActivationPage(const e2e::LogEntry& entry, uint32_t gencode, uint8_t bufferId, uint32_t imageLength)
{
    SCOPED_TRACE(entry.line);
    EXPECT_EQ(vocab::Hex(entry.cdb), "1d1000001800");
    EXPECT_EQ(entry.doutLength, kHeader);
    EXPECT_EQ(vocab::Hex(entry.dout), vocab::Hex(vocab::ControlHeader(0x0F, gencode, 0, imageLength, 0, bufferId)));
}

std::string Repeat(const std::string& text, int times)
{
    std::string out;
    for (int i = 0; i < times; i++)
        out += text;
    return out;
}

} // namespace fwpush_e2e
