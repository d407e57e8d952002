// Whatever arrives, the model stays within the lengths it was given (the CDB's, the page's and
// the buffers') and its state stays well formed. Buffers are exactly sized, so the sanitizer
// build turns any stray access into a failure.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "sim_test_support.h"

using simtest::Enclosure;
using simtest::Image;
using simtest::Reply;

namespace
{

bool KnownReportCode(uint8_t code)
{
    return code == 0 || (code >= 0x10 && code <= 0x13) || (code >= 0x80 && code <= 0x85);
}

void ExpectWellFormed(const Enclosure& e, const Reply& r, size_t doutLength, size_t dinRoom)
{
    const sesim::State& s = e.state;
    ASSERT_LE(r.result.dataInLength, dinRoom);
    ASSERT_LE(r.result.senseLength, sizeof(r.result.sense));
    ASSERT_LE(r.result.dataOutUsed, doutLength);
    ASSERT_LT(strnlen(r.result.note, sizeof(r.result.note)), sizeof(r.result.note));
    ASSERT_LE((int)s.download.phase, (int)sesim::DownloadPhase::Storing);
    if (s.download.phase == sesim::DownloadPhase::Receiving)
    {
        ASSERT_LT(s.download.expectedOffset, s.download.imageLength);
        ASSERT_LE(s.download.imageLength, e.config.maxImageSize);
    }
    ASSERT_LE(s.console.outPosition, s.console.outLength);
    ASSERT_LE(s.console.outLength, sesim::kConsoleOutCapacity);
    ASSERT_LE(s.console.breakCount, sesim::kConsoleMaxBreaks);
    for (const sesim::SubenclosureState& sub : s.sub)
    {
        ASSERT_TRUE(KnownReportCode(sub.reportStatus)) << (int)sub.reportStatus;
    }
    ASSERT_NE(s.active.id, 0u);
    ASSERT_TRUE(e.backing.images.count(s.active.id));
}

// A command chosen to reach deep: mostly the operation codes the model knows, with fields
// around their interesting values, and lengths that disagree with each other.
struct Generator
{
    std::mt19937 rng;
    explicit Generator(uint32_t seed) : rng(seed) {}
    uint32_t Below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); }
    uint8_t Byte() { return (uint8_t)Below(256); }

    std::vector<uint8_t> Cdb()
    {
        static const uint8_t kOps[] = {0x00, 0x03, 0x12, 0x1C, 0x1D, 0x3B, 0x3C, 0xA0, 0x1A, 0x25, 0x5A, 0x9E, 0x7F};
        std::vector<uint8_t> cdb(Below(10) == 0 ? Below(33) : 6 + Below(11));
        for (uint8_t& b : cdb)
            b = Below(3) == 0 ? Byte() : 0;
        if (!cdb.empty())
            cdb[0] = Below(8) == 0 ? Byte() : kOps[Below(sizeof(kOps))];
        if (cdb.size() > 2 && Below(2) == 0)
            cdb[1] = (uint8_t)Below(4);
        if (cdb.size() > 2 && Below(2) == 0)
            cdb[2] = (uint8_t)(Below(2) ? 1 : (Below(2) ? 0x0E : Byte()));
        return cdb;
    }

    std::vector<uint8_t> DataOut(const std::vector<uint8_t>& cdb, uint32_t generation)
    {
        size_t n = Below(50) == 0 ? Below(70000) : Below(600);
        std::vector<uint8_t> d(n);
        for (uint8_t& b : d)
            b = Byte();
        if (!cdb.empty() && cdb[0] == 0x1D && Below(2) == 0)
        {
            // A download page with a few spoilt fields.
            std::vector<uint8_t> data(Below(300));
            d = Enclosure::ControlPage((uint8_t)(Below(2) ? 7 : 0x0E), generation, Below(3) == 0 ? Below(64) : 0,
                                       Below(2) ? (uint32_t)data.size() + Below(200) : Below(UINT32_MAX), data);
            for (int i = (int)Below(3); i > 0; i--)
                d[Below((uint32_t)d.size())] = Byte();
        }
        if (!cdb.empty() && cdb[0] == 0x3B && !d.empty())
            d[0] = Below(4) ? 1 : d[0];
        return d;
    }
};

TEST(Robustness, RandomCommandsStayInBoundsAndKeepTheStateWellFormed)
{
    for (uint32_t seed : {1u, 2u, 3u})
    {
        sesim::Config c;
        c.secondarySubenclosures = (uint8_t)(seed - 1);
        c.busyReads = seed % 3;
        c.downloadTimeoutMs = 5;
        c.acceptAnyImage = seed == 2;
        c.descriptorSense = seed == 3;
        Enclosure e(c);
        Generator g(seed);
        for (int i = 0; i < 25000; i++)
        {
            std::vector<uint8_t> cdb = g.Cdb();
            std::vector<uint8_t> dout = g.DataOut(cdb, e.state.generationCode);
            size_t room = g.Below(6) == 0 ? 0 : g.Below(1500);
            e.now += g.Below(3) * 1000000ull;
            Reply r = e.Run(cdb, dout, room);
            ExpectWellFormed(e, r, dout.size(), room);
            if (HasFatalFailure())
            {
                return;
            }
            if (g.Below(2000) == 0)
            {
                sesim::Released released{};
                e.model->PowerCycle(e.state, e.now, released);
                for (int k = 0; k < released.count; k++)
                    e.backing.images.erase(released.ids[k]);
            }
        }
    }
}

TEST(Robustness, EveryAllocationLengthOfEveryPage)
{
    Enclosure e;
    e.ClearUnitAttention();
    for (uint8_t page : {0x00, 0x01, 0x02, 0x07, 0x0E})
    {
        size_t full = e.ReceiveDiagnostic(page, 4096).din.size();
        for (size_t allocation = 0; allocation <= full + 4; allocation++)
        {
            for (size_t room : {(size_t)allocation, (size_t)allocation / 2, (size_t)allocation + 7})
            {
                Reply r = e.Run({0x1C, 1, page, (uint8_t)(allocation >> 8), (uint8_t)allocation, 0}, {}, room);
                ASSERT_TRUE(r.Good());
                ASSERT_EQ(r.din.size(), std::min({full, (size_t)allocation, room})) << (int)page;
            }
        }
    }
    for (uint16_t allocation = 0; allocation < 40; allocation++)
    {
        ASSERT_EQ(e.Inquiry(allocation).din.size(), std::min<size_t>(allocation, 36));
        ASSERT_EQ(e.RequestSense(false, (uint8_t)allocation).din.size(), std::min<size_t>(allocation, 18));
    }
}

TEST(Robustness, ControlPagesCutAnywhere)
{
    Enclosure e;
    e.ClearUnitAttention();
    std::vector<uint8_t> page = Enclosure::ControlPage(7, 0, 0, 1000, std::vector<uint8_t>(100, 7));
    for (size_t sent = 0; sent <= page.size(); sent++)
    {
        for (size_t announced : {sent, page.size(), sent + 1, (size_t)65535})
        {
            std::vector<uint8_t> cut(page.begin(), page.begin() + (long)sent);
            Reply r = e.Run({0x1D, 0x10, 0, (uint8_t)(announced >> 8), (uint8_t)announced, 0}, cut);
            ASSERT_LE(r.result.dataOutUsed, sent);
            ASSERT_EQ(r.status() == 0, sent == page.size() || announced == 0) << sent << " of " << announced;
            e.Status();
        }
    }
}

TEST(Robustness, ConsoleMessagesOfAnyShape)
{
    Enclosure e;
    e.ClearUnitAttention();
    Generator g(9);
    for (int i = 0; i < 20000; i++)
    {
        std::vector<uint8_t> message(g.Below(520));
        for (uint8_t& b : message)
            b = g.Below(4) ? (uint8_t)(' ' + g.Below(95)) : g.Byte();
        if (!message.empty())
            message[0] = g.Below(8) ? 1 : message[0];
        if (message.size() > 1)
            message[1] = g.Below(8) ? 0 : message[1];
        uint32_t announced = g.Below(4) ? (uint32_t)message.size() : g.Below(0x1000000);
        Reply w = e.Run({0x3B, 0x01, 0x01, 0, 0, 0, (uint8_t)(announced >> 16), (uint8_t)(announced >> 8),
                         (uint8_t)announced, 0},
                        message);
        uint32_t allocation = g.Below(3) ? 508 : g.Below(0x1000000);
        size_t room = g.Below(2) ? std::min<uint32_t>(allocation, 2048) : g.Below(1024);
        Reply r = e.Run({0x3C, 0x01, 0x01, 0, 0, 0, (uint8_t)(allocation >> 16), (uint8_t)(allocation >> 8),
                         (uint8_t)allocation, 0},
                        {}, room);
        ExpectWellFormed(e, r, 0, room);
        if (r.din.size() >= 4)
        {
            ASSERT_LE(simtest::Be16(r.din, 0), 507);
            ASSERT_EQ(simtest::Be16(r.din, 0) + 4u, r.din.size());
        }
        (void)w;
    }
}

TEST(Robustness, NoCdbAtAll)
{
    Enclosure e;
    Reply r = e.Run({}, {}, 64);
    ExpectWellFormed(e, r, 0, 64);
}

} // namespace
