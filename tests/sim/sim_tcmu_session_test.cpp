// The kernel attachment's bridge from ring commands to the enclosure of a state directory.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "sesim_config.h"
#include "sesim_store.h"
#include "tcmu_session.h"
#include "vocabulary.h"

namespace
{

using sesim::tcmu::Direction;
using sesim::tcmu::Exchange;

// A fresh enclosure in a temporary directory, with the given faults armed.
class EnclosureDir : public vocab::TempDir
{
  public:
    explicit EnclosureDir(const std::vector<std::string>& faults = {})
    {
        sesim::Config config;
        std::string error;
        for (const std::string& text : faults)
        {
            sesim::FaultSpec fault;
            EXPECT_TRUE(sesim::ParseFault(text, &fault, &error)) << error;
            EXPECT_TRUE(sesim::AddFault(&config, fault, &error)) << error;
        }
        EXPECT_TRUE(sesim::Store::Create(Path(), config, sesim::InitialState(), true, &error)) << error;
    }
};

// One command as the ring hands it over: data-in room or data-out bytes.
struct Command
{
    std::vector<uint8_t> cdb;
    std::vector<uint8_t> buffer;
    Exchange x;

    Command(std::vector<uint8_t> bytes, size_t dataInRoom) : cdb(std::move(bytes)), buffer(dataInRoom, 0xEE)
    {
        memcpy(x.cdb, cdb.data(), cdb.size());
        x.cdbLength = cdb.size();
        x.direction = dataInRoom > 0 ? Direction::In : Direction::None;
        x.dataIn = dataInRoom > 0 ? buffer.data() : nullptr;
        x.dataInCapacity = dataInRoom;
    }
};

std::vector<uint8_t> Inquiry(uint8_t allocation)
{
    return {0x12, 0x00, 0x00, 0x00, allocation, 0x00};
}

const std::vector<uint8_t> kTestUnitReady = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

TEST(TcmuSession, StatusSenseAndDataComeFromTheModel)
{
    EnclosureDir enclosure;
    sesim::tcmu::SessionResponder responder;
    std::string error;
    ASSERT_TRUE(responder.Open(enclosure.Path(), &error)) << error;

    Command tur(kTestUnitReady, 0);
    responder.Execute(tur.x);
    EXPECT_EQ(tur.x.status, 0x02);
    ASSERT_GE(tur.x.senseLength, 14u);
    EXPECT_EQ(tur.x.sense[0] & 0x7F, 0x70);
    EXPECT_EQ(tur.x.sense[2] & 0x0F, 0x06);
    EXPECT_EQ(tur.x.sense[12], 0x29);
    Command again(kTestUnitReady, 0);
    responder.Execute(again.x);
    EXPECT_EQ(again.x.status, 0);

    Command full(Inquiry(96), 96);
    responder.Execute(full.x);
    EXPECT_EQ(full.x.status, 0);
    EXPECT_GE(full.x.dataInLength, 36u);
    EXPECT_EQ(full.buffer[0] & 0x1F, 0x0D);
    EXPECT_EQ(std::string(full.buffer.begin() + 8, full.buffer.begin() + 16), "SESIM   ");
    // The allocation length allows 96, the initiator's buffer only 16.
    Command clipped(Inquiry(96), 16);
    responder.Execute(clipped.x);
    EXPECT_EQ(clipped.x.dataInLength, 16u);

    // Every command is in the enclosure's log, as with the preload attachment.
    std::ifstream log(enclosure.File("commands.log"));
    std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("1 op=00 "), std::string::npos) << text;
    EXPECT_NE(text.find("4 op=12 "), std::string::npos) << text;
}

// An adapter or ioctl failure cannot come from a target; the initiator hears that the logical
// unit cannot be reached, and no data.
TEST(TcmuSession, FailuresOnlyTheHostCanHaveBecomeCommunicationFailures)
{
    for (const char* fault : {"errno@cmd=1", "host@cmd=1", "gone@cmd=1"})
    {
        SCOPED_TRACE(fault);
        EnclosureDir enclosure({fault});
        sesim::tcmu::SessionResponder responder;
        std::string error;
        ASSERT_TRUE(responder.Open(enclosure.Path(), &error)) << error;

        Command inquiry(Inquiry(96), 96);
        responder.Execute(inquiry.x);
        EXPECT_EQ(inquiry.x.status, 0x02);
        EXPECT_EQ(inquiry.x.dataInLength, 0u);
        ASSERT_GE(inquiry.x.senseLength, 14u);
        EXPECT_EQ(inquiry.x.sense[2] & 0x0F, 0x04);
        EXPECT_EQ(inquiry.x.sense[12], 0x08);
        EXPECT_EQ(inquiry.x.sense[13], 0x00);
    }
}

TEST(TcmuSession, AMissingEnclosureIsRefusedAtOpen)
{
    sesim::tcmu::SessionResponder responder;
    std::string error;
    EXPECT_FALSE(responder.Open("/nonexistent/enclosure", &error));
    EXPECT_FALSE(error.empty());
}

} // namespace
