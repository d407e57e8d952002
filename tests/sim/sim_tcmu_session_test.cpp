// The kernel attachment's bridge from ring commands to the enclosure of a state directory: what
// the kernel lane never shows. Status, sense, data and the command log of a working enclosure
// cross the bridge in every kernel-lane run (tests/kernel); a missing enclosure is refused by the
// store that every attachment opens (sim_process_test's Cli tests).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sesim_config.h"
#include "sesim_store.h"
#include "tcmu_session.h"
#include "vocabulary.h"

namespace
{

// An adapter or ioctl failure cannot come from a target; the initiator hears that the logical
// unit cannot be reached, and no data.
TEST(TcmuSession, FailuresOnlyTheHostCanHaveBecomeCommunicationFailures)
{
    for (const char* fault : {"errno@cmd=1", "host@cmd=1", "gone@cmd=1"})
    {
        SCOPED_TRACE(fault);
        vocab::TempDir enclosure;
        sesim::Config config;
        sesim::FaultSpec parsed;
        std::string error;
        ASSERT_TRUE(sesim::ParseFault(fault, &parsed, &error) && sesim::AddFault(&config, parsed, &error)) << error;
        ASSERT_TRUE(sesim::Store::Create(enclosure.Path(), config, sesim::InitialState(), true, &error)) << error;
        sesim::tcmu::SessionResponder responder;
        ASSERT_TRUE(responder.Open(enclosure.Path(), &error)) << error;

        const uint8_t inquiry[6] = {0x12, 0x00, 0x00, 0x00, 96, 0x00};
        uint8_t data[96];
        sesim::tcmu::Exchange x;
        memcpy(x.cdb, inquiry, sizeof(inquiry));
        x.cdbLength = sizeof(inquiry);
        x.direction = sesim::tcmu::Direction::In;
        x.dataIn = data;
        x.dataInCapacity = sizeof(data);
        responder.Execute(x);
        EXPECT_EQ(x.status, 0x02);
        EXPECT_EQ(x.dataInLength, 0u);
        EXPECT_GE(x.senseLength, 14u);
        EXPECT_EQ(vocab::SenseText(x.sense, x.senseLength), "04/08/00");
    }
}

} // namespace
