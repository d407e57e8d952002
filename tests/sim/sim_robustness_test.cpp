// Lengths at every boundary: the model stays within the lengths it was given (the CDB's, the
// page's and the buffers'). Random command sequences are the fuzz target fuzz_sim_model's.
#include <gtest/gtest.h>

#include <cstring>

#include "sim_test_support.h"

using simtest::Enclosure;
using simtest::Image;
using simtest::Reply;

namespace
{

// Every page at every allocation, and its length field matching its bytes, with and without
// secondary subenclosures.
TEST(Robustness, EveryAllocationLengthOfEveryPage)
{
    for (int secondaries : {0, 3, 15})
    {
        sesim::Config c;
        c.secondarySubenclosures = (uint8_t)secondaries;
        Enclosure e(c, simtest::Quiet());
        for (uint8_t page : {0x00, 0x01, 0x02, 0x07, 0x0E})
        {
            std::vector<uint8_t> whole = e.ReceiveDiagnostic(page, 65535).din;
            ASSERT_GE(whole.size(), 4u);
            EXPECT_EQ(whole[0], page);
            EXPECT_EQ(vocab::Be16(whole, 2) + 4u, whole.size()) << "page " << (int)page;
            for (size_t allocation = 0; allocation <= whole.size() + 4; allocation++)
            {
                for (size_t room : {(size_t)allocation, (size_t)allocation / 2, (size_t)allocation + 7})
                {
                    Reply r = e.Run({0x1C, 1, page, (uint8_t)(allocation >> 8), (uint8_t)allocation, 0}, {}, room);
                    ASSERT_TRUE(r.Good());
                    ASSERT_EQ(r.din.size(), std::min({whole.size(), (size_t)allocation, room})) << (int)page;
                }
            }
        }
        EXPECT_EQ(e.ReceiveDiagnostic(0x01).din[1], secondaries);
        Reply status = e.ReceiveDiagnostic(0x0E, 65535);
        EXPECT_EQ(status.din.size(), 8u + 16u * (1 + secondaries));
        EXPECT_EQ(status.din[8 + 16 * secondaries + 1], secondaries);
    }
    Enclosure e(sesim::Config(), simtest::Quiet());
    for (uint16_t allocation = 0; allocation < 40; allocation++)
    {
        ASSERT_EQ(e.Inquiry(allocation).din.size(), std::min<size_t>(allocation, 36));
        ASSERT_EQ(e.RequestSense(false, (uint8_t)allocation).din.size(), std::min<size_t>(allocation, 18));
    }
}

TEST(Robustness, ControlPagesCutAnywhere)
{
    Enclosure e(sesim::Config(), simtest::Quiet());
    std::vector<uint8_t> page = vocab::ControlPage(7, 0, 0, 1000, std::vector<uint8_t>(100, 7));
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

TEST(Robustness, NoCdbAtAll)
{
    Enclosure e;
    Reply r = e.Run({}, {}, 64);
    EXPECT_EQ(r.result.dataInLength, 0u);
    EXPECT_LE(r.result.senseLength, sizeof(r.result.sense));
}

} // namespace
