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

TEST(Robustness, EveryAllocationLengthOfEveryPage)
{
    Enclosure e(sesim::Config(), simtest::Quiet());
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
