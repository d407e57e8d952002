#ifndef FWPUSH_EXPECT_H
#define FWPUSH_EXPECT_H

// What an fwpush run is expected to print and to send, built from the same few facts a test
// states (image, options, enclosure identity), so that each test compares whole outputs.

#include <cstdint>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace fwpush_e2e
{

constexpr const char* kDevice = e2e::Enclosure::kDevice;
constexpr uint32_t kHeader = 24;
constexpr uint32_t kDefaultBlock = 4096 - kHeader;

std::string Fwpush();
// fwpush's command line: the options, then the further arguments (device, image).
std::vector<std::string> FwpushArgv(std::vector<std::string> options, const std::vector<std::string>& rest = {});
std::string Banner();
std::string Help();

struct Params
{
    std::string file = "<N/A>";
    uint32_t length = 0;
    std::string device = kDevice;
    uint32_t maxPage = 4096;
    uint32_t bufferId = 0;
    std::string mode = "Save and auto activate";
    bool activate = false;
};
std::string ParameterBlock(const Params& p);

// From "Identifying device" to "Device capable of Page 0xE download".
std::string Identification(const std::string& revision = "0100", const std::string& vendor = "SESIM   ",
                           const std::string& product = "SIM ENCLOSURE   ");

// The progress line as rewritten after each accepted block of the given sizes.
std::string Progress(const std::vector<uint32_t>& blocks, uint32_t fileLength);

// Everything a download run prints on standard output up to and including the progress.
std::string DownloadOut(const Params& p, const std::vector<uint32_t>& blocks, const std::string& revision = "0100");

// Block sizes of an image cut into blocks of blockSize bytes.
std::vector<uint32_t> Blocks(uint32_t length, uint32_t blockSize = kDefaultBlock);

using e2e::ImageShown;
using e2e::MakeImage;

// Commands of a log in a compact form: INQ, TUR, RD00, RD0E, SD (SEND DIAGNOSTIC) or the opcode.
std::string Sequence(const std::vector<e2e::LogEntry>& log);
// The generation code that the last status read before command `index` reported (the
// simulator notes it as gen=N), or `initial` when there was none.
uint32_t GencodeBefore(const std::vector<e2e::LogEntry>& log, int index, uint32_t initial = 0);
// SEND DIAGNOSTIC commands only.
std::vector<e2e::LogEntry> Sends(const std::vector<e2e::LogEntry>& log);

// Checks one logged download data page: CDB, length sent, header bytes, the image bytes that
// the log shows and zero pad bytes.
void ExpectDataPage(const e2e::LogEntry& entry, const std::vector<uint8_t>& header, const std::string& image,
                    uint32_t offset, uint32_t dataLength);
// Checks a logged 24-byte activation request.
void ExpectActivationPage(const e2e::LogEntry& entry, uint32_t gencode, uint8_t bufferId, uint32_t imageLength);

std::string Repeat(const std::string& text, int times);

} // namespace fwpush_e2e

#endif
