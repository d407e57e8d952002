// CPU per command of the enclosure model alone, and with the state store and the command log
// (what the preload attachment adds to a program's run). Not a test: prints its measurements.
//   sim_bench [COMMANDS]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "sesim_session.h"

namespace
{

double CpuSeconds()
{
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return (double)u.ru_utime.tv_sec + (double)u.ru_utime.tv_usec / 1e6 + (double)u.ru_stime.tv_sec +
           (double)u.ru_stime.tv_usec / 1e6;
}

void Report(const char* what, long count, double seconds)
{
    printf("%-44s %8.3f us CPU per command (%ld commands)\n", what, seconds * 1e6 / (double)count, count);
}

// Takes image bytes and forgets them, so that only the model is measured.
class NullBacking : public sesim::Backing
{
  public:
    bool CreateImage(uint32_t) override { return true; }
    bool WriteImage(uint32_t, uint32_t, const uint8_t*, size_t) override { return true; }
};

} // namespace

int main(int argc, char** argv)
{
    long count = argc > 1 ? strtol(argv[1], nullptr, 10) : 100000;
    uint8_t statusCdb[6] = {0x1C, 1, 0x0E, 0, 60, 0};
    static uint8_t din[64];
    static sesim::Result result;

    sesim::Config config;
    config.maxImageSize = 0x7FFFFFF0;
    config.acceptAnyImage = true;
    NullBacking nothing;
    sesim::Model model(config, nothing);
    static sesim::State state;
    sesim::InitialState quiet;
    quiet.unitAttention = false;
    std::string ignored;
    sesim::InitState(quiet, 1, 4096, &state, &ignored);
    sesim::Command status{statusCdb, 6, nullptr, 0, din, 60};
    double start = CpuSeconds();
    for (long i = 0; i < count; i++)
        model.Execute(state, status, 0, result);
    Report("model: status page read", count, CpuSeconds() - start);

    // 4072-byte download blocks of one long image, each followed by a status read. The control
    // page: page 0Eh of length 4092, mode 07h, the offset set per block, an image of the model's
    // maximum size (7FFFFFF0h), 4072 (FE8h) data bytes.
    std::vector<uint8_t> page(24 + 4072, 0x5A);
    const uint8_t header[24] = {0x0E, 0, 0x0F, 0xFC, 0, 0, 0, 0, 0x07, 0, 0, 0,
                                0,    0, 0,    0,    0x7F, 0xFF, 0xFF, 0xF0, 0, 0, 0x0F, 0xE8};
    std::copy(header, header + sizeof(header), page.begin());
    uint8_t sendCdb[6] = {0x1D, 0x10, 0, (uint8_t)(page.size() >> 8), (uint8_t)page.size(), 0};
    sesim::Command send{sendCdb, 6, page.data(), page.size(), nullptr, 0};
    start = CpuSeconds();
    for (long i = 0; i < count / 2; i++)
    {
        uint32_t offset = (uint32_t)i * 4072;
        for (int k = 0; k < 4; k++)
            page[12 + k] = (uint8_t)(offset >> (24 - 8 * k));
        model.Execute(state, send, 0, result);
        model.Execute(state, status, 0, result);
    }
    Report("model: 4 KiB download block + status read", count, CpuSeconds() - start);
    if (state.download.expectedOffset != (uint32_t)(count / 2) * 4072)
    {
        fprintf(stderr, "the download did not advance as expected\n");
        return 1;
    }

    std::string dir = std::filesystem::temp_directory_path().string() + "/sesim-bench-" + std::to_string(getpid());
    std::string error;
    sesim::InitialState initial;
    initial.unitAttention = false;
    sesim::Session session;
    if (!sesim::Store::Create(dir, sesim::Config(), initial, true, &error) || !session.Open(dir, &error))
    {
        fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    start = CpuSeconds();
    for (long i = 0; i < count; i++)
        session.Execute(status, &result);
    Report("session (store, lock, log): status read", count, CpuSeconds() - start);
    std::filesystem::remove_all(dir);
    return 0;
}
