// The state directory: creation, the two-slot state file under torn writes and kill -9,
// damaged files, image garbage collection, and the session that ties store and model together.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "e2e_support.h"
#include "sesim_session.h"
#include "sesim_store.h"
#include "sim_test_support.h"

namespace
{

using e2e::TempDir;

std::string CreateEnclosure(const TempDir& t, const sesim::Config& config = sesim::Config())
{
    std::string dir = t.Path() + "/enc";
    std::string error;
    sesim::InitialState initial;
    EXPECT_TRUE(sesim::Store::Create(dir, config, initial, &error)) << error;
    return dir;
}

size_t SlotOffset(int slot)
{
    // The header is 64 bytes; the slots follow, each a multiple of 64 bytes.
    size_t slotLength = (sizeof(uint64_t) + 2 * sizeof(uint32_t) + sizeof(sesim::State) + 63) / 64 * 64;
    return 64 + (size_t)slot * slotLength;
}

TEST(Store, CreateThenOpenGivesTheInitialState)
{
    TempDir t;
    std::string dir = CreateEnclosure(t);
    sesim::Store store;
    std::string error;
    ASSERT_TRUE(store.Open(dir, &error)) << error;
    static sesim::State state;
    ASSERT_TRUE(store.Lock());
    ASSERT_TRUE(store.Load(&state, true));
    store.Unlock();
    EXPECT_EQ(state.uaAsc, 0x29);
    EXPECT_EQ(std::string(state.active.revision, 4), "0100");
    EXPECT_EQ(sesim::Sha256FileHex(store.ImagePath(state.active.id)).size(), 64u);
    EXPECT_TRUE(std::filesystem::exists(dir + "/commands.log"));
}

TEST(Store, SavesAlternateSlotsAndATornSlotFallsBack)
{
    TempDir t;
    std::string dir = CreateEnclosure(t);
    static sesim::State state;
    {
        sesim::Store store;
        std::string error;
        ASSERT_TRUE(store.Open(dir, &error)) << error;
        ASSERT_TRUE(store.Lock());
        ASSERT_TRUE(store.Load(&state, true));
        for (uint64_t n = 1; n <= 5; n++)
        {
            state.commandCount = n;
            store.Save(state);
        }
        store.Unlock();
    }
    // Tear the newest slot: a writer killed after it cleared the sequence number.
    int fd = open((dir + "/state").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    uint64_t sequences[2];
    ASSERT_EQ(pread(fd, &sequences[0], 8, (off_t)SlotOffset(0)), 8);
    ASSERT_EQ(pread(fd, &sequences[1], 8, (off_t)SlotOffset(1)), 8);
    int newest = sequences[0] > sequences[1] ? 0 : 1;
    uint64_t zero = 0;
    ASSERT_EQ(pwrite(fd, &zero, 8, (off_t)SlotOffset(newest)), 8);
    sesim::Store store;
    std::string error;
    ASSERT_TRUE(store.Open(dir, &error)) << error;
    ASSERT_TRUE(store.Load(&state, true));
    EXPECT_EQ(state.commandCount, 4u);
    // A damaged body with a whole sequence number is caught by the CRC.
    state.commandCount = 6;
    store.Save(state);
    ASSERT_EQ(pread(fd, &sequences[0], 8, (off_t)SlotOffset(0)), 8);
    ASSERT_EQ(pread(fd, &sequences[1], 8, (off_t)SlotOffset(1)), 8);
    newest = sequences[0] > sequences[1] ? 0 : 1;
    uint8_t junk = 0x5A;
    ASSERT_EQ(pwrite(fd, &junk, 1, (off_t)SlotOffset(newest) + 100), 1);
    close(fd);
    sesim::Store again;
    ASSERT_TRUE(again.Open(dir, &error)) << error;
    ASSERT_TRUE(again.Load(&state, true));
    EXPECT_EQ(state.commandCount, 4u);
}

TEST(Store, KilledWritersLeaveAStateThatLoads)
{
    TempDir t;
    std::string dir = CreateEnclosure(t);
    for (int round = 0; round < 12; round++)
    {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
        {
            sesim::Store store;
            std::string error;
            static sesim::State s;
            if (!store.Open(dir, &error) || !store.Load(&s, true))
                _exit(3);
            for (;;)
            {
                store.Lock();
                store.Load(&s, false);
                s.commandCount++;
                memset(s.console.out, (int)(s.commandCount & 0xFF), sizeof(s.console.out));
                store.Save(s);
                store.Unlock();
            }
        }
        usleep(2000 + 1500 * (useconds_t)round);
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
        sesim::Store store;
        std::string error;
        ASSERT_TRUE(store.Open(dir, &error)) << "round " << round << ": " << error;
        static sesim::State s;
        ASSERT_TRUE(store.Load(&s, true));
        // Either before or after the interrupted save, never a mixture.
        for (char c : s.console.out)
            ASSERT_EQ((uint8_t)c, (uint8_t)(s.commandCount & 0xFF));
    }
}

TEST(Store, DamagedDirectoriesAreRefusedWithAReason)
{
    TempDir t;
    std::string error;
    sesim::Store missing;
    EXPECT_FALSE(missing.Open(t.Path() + "/nothing", &error));
    EXPECT_NE(error.find("not an enclosure"), std::string::npos);

    std::string dir = CreateEnclosure(t);
    {
        std::string text = "busy-reads lots\n";
        ASSERT_TRUE(sesim::WriteFileAtomically(dir + "/config", text.data(), text.size(), &error));
        sesim::Store bad;
        EXPECT_FALSE(bad.Open(dir, &error));
        EXPECT_NE(error.find("config is damaged"), std::string::npos) << error;
    }
    dir = CreateEnclosure(t);
    ASSERT_EQ(truncate((dir + "/state").c_str(), 100), 0);
    sesim::Store shortState;
    EXPECT_FALSE(shortState.Open(dir, &error));
    EXPECT_NE(error.find("state"), std::string::npos);

    dir = CreateEnclosure(t);
    int fd = open((dir + "/state").c_str(), O_RDWR);
    uint64_t zero = 0;
    ASSERT_EQ(pwrite(fd, &zero, 8, (off_t)SlotOffset(0)), 8);
    ASSERT_EQ(pwrite(fd, &zero, 8, (off_t)SlotOffset(1)), 8);
    close(fd);
    sesim::Store noSlot;
    EXPECT_FALSE(noSlot.Open(dir, &error));
    EXPECT_NE(error.find("no valid"), std::string::npos);
}

TEST(Store, GarbageCollectionKeepsOnlyReferencedImages)
{
    TempDir t;
    std::string dir = CreateEnclosure(t);
    sesim::Store store;
    std::string error;
    ASSERT_TRUE(store.Open(dir, &error)) << error;
    static sesim::State s;
    ASSERT_TRUE(store.Load(&s, true));
    ASSERT_TRUE(store.CreateImage(7));
    ASSERT_TRUE(store.CreateImage(8));
    s.download.phase = sesim::DownloadPhase::Receiving;
    s.download.imageId = 8;
    store.CollectGarbage(s);
    EXPECT_TRUE(std::filesystem::exists(store.ImagePath(s.active.id)));
    EXPECT_FALSE(std::filesystem::exists(store.ImagePath(7)));
    EXPECT_TRUE(std::filesystem::exists(store.ImagePath(8)));
}

uint64_t g_clock = 5000000000ull;
uint64_t TestClock()
{
    return g_clock;
}

TEST(Session, CommandsPersistAcrossSessionsAndAreLogged)
{
    TempDir t;
    std::string dir = CreateEnclosure(t);
    std::vector<uint8_t> image = simtest::Image("0200", 5000);
    auto run = [](sesim::Session& s, std::vector<uint8_t> cdb, std::vector<uint8_t> dout, size_t room) {
        static sesim::Result r;
        std::vector<uint8_t> din(room + 1);
        sesim::Command c{cdb.data(), cdb.size(), dout.data(), dout.size(), din.data(), room};
        s.Execute(c, &r);
        return r;
    };
    {
        sesim::Session first(TestClock);
        std::string error;
        ASSERT_TRUE(first.Open(dir, &error)) << error;
        run(first, {0x03, 0, 0, 0, 18, 0}, {}, 18);
        std::vector<uint8_t> page = simtest::Enclosure::ControlPage(0x0E, 0, 0, 5000, image);
        sesim::Result r = run(first, {0x1D, 0x10, 0, (uint8_t)(page.size() >> 8), (uint8_t)page.size(), 0}, page, 0);
        EXPECT_EQ(r.status, 0);
        r = run(first, {0x1C, 1, 0x0E, 0, 60, 0}, {}, 60);
        EXPECT_EQ(r.index, 3u);
    }
    {
        // The next session finds the storage phase over and the image deferred.
        sesim::Session second(TestClock);
        std::string error;
        ASSERT_TRUE(second.Open(dir, &error)) << error;
        static uint8_t din[64];
        uint8_t cdb[6] = {0x1C, 1, 0x0E, 0, 60, 0};
        sesim::Command c{cdb, 6, nullptr, 0, din, 60};
        static sesim::Result r;
        second.Execute(c, &r);
        EXPECT_EQ(din[10], 0x13);
        std::vector<uint8_t> activate = simtest::Enclosure::ControlPage(0x0F, din[7], 0, 0, {});
        r = run(second, {0x1D, 0x10, 0, 0, 24, 0}, activate, 0);
        EXPECT_EQ(r.status, 0);
    }
    sesim::Store store;
    std::string error;
    ASSERT_TRUE(store.Open(dir, &error));
    static sesim::State s;
    ASSERT_TRUE(store.Load(&s, true));
    EXPECT_EQ(std::string(s.active.revision, 4), "0200");
    EXPECT_EQ(s.commandCount, 5u);
    std::string log;
    ASSERT_TRUE(sesim::ReadTextFile(dir + "/commands.log", &log));
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 5);
    EXPECT_NE(log.find("5 op=1d cdb=1d1000001800 dout=24:0e00"), std::string::npos) << log;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir + "/images"), {}), 1);
}

TEST(Session, LogLineFormat)
{
    sesim::Result r{};
    r.index = 12;
    r.status = 2;
    r.senseLength = sesim::BuildSense(r.sense, sizeof(r.sense), false, 5, 0x24, 0, sesim::FieldPointer{});
    r.dataInLength = 0;
    snprintf(r.note, sizeof(r.note), "invalid field in CDB byte 2");
    uint8_t cdb[6] = {0x1C, 1, 0x42, 0, 60, 0};
    std::vector<uint8_t> dout(70, 0xAB);
    sesim::Command c{cdb, 6, dout.data(), dout.size(), nullptr, 0};
    char line[1024];
    sesim::FormatLogLine(line, sizeof(line), c, r);
    std::string hex;
    for (int i = 0; i < 64; i++)
        hex += "ab";
    EXPECT_EQ(std::string(line), "12 op=1c cdb=1c0142003c00 dout=70:" + hex +
                                     "... status=02 sense=05/24/00 din=0 fault=- invalid field in CDB byte 2\n");
    r.outcome = sesim::Outcome::TransportError;
    r.errnoValue = ENODEV;
    r.status = 0;
    r.fault = "gone";
    snprintf(r.note, sizeof(r.note), "device removed");
    c.dataOutLength = 0;
    sesim::FormatLogLine(line, sizeof(line), c, r);
    EXPECT_EQ(std::string(line),
              "12 op=1c cdb=1c0142003c00 dout=0: status=00 sense=- din=0 fault=gone ioctl fails with No such device: "
              "device removed\n");
}

} // namespace
