// The state directory: the two-slot state file under torn writes and kill -9, image removal and
// garbage collection, descriptors kept above the standard ones. A missing or damaged directory is
// the sesim command's to refuse (sim_process_test).
#include <gtest/gtest.h>

#include <dlfcn.h>
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
bool g_stopAfterUnlink = false;
}

// unlink of this executable: a child that sets the flag stops right after a file is removed, so
// that the test can kill it there.
extern "C" int unlink(const char* path) noexcept
{
    using UnlinkFn = int (*)(const char*);
    static UnlinkFn real = (UnlinkFn)dlsym(RTLD_NEXT, "unlink");
    int result = real(path);
    if (g_stopAfterUnlink)
        raise(SIGSTOP);
    return result;
}

namespace
{

using e2e::TempDir;

std::string CreateEnclosure(const TempDir& t, const sesim::Config& config = sesim::Config())
{
    std::string dir = t.Path() + "/enc";
    std::string error;
    sesim::InitialState initial;
    EXPECT_TRUE(sesim::Store::Create(dir, config, initial, true, &error)) << error;
    return dir;
}

size_t SlotOffset(int slot)
{
    // The header is 64 bytes; the slots follow, each a multiple of 64 bytes.
    size_t slotLength = (sizeof(uint64_t) + 2 * sizeof(uint32_t) + sizeof(sesim::State) + 63) / 64 * 64;
    return 64 + (size_t)slot * slotLength;
}

// The slot with the higher sequence number.
int NewestSlot(int fd)
{
    uint64_t sequences[2] = {};
    EXPECT_EQ(pread(fd, &sequences[0], 8, (off_t)SlotOffset(0)), 8);
    EXPECT_EQ(pread(fd, &sequences[1], 8, (off_t)SlotOffset(1)), 8);
    return sequences[0] > sequences[1] ? 0 : 1;
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
        ASSERT_TRUE(store.Load(&state, true));
        EXPECT_EQ(state.commandCount, 5u) << "the newest slot is the one loaded";
    }
    // Tear the newest slot: a writer killed after it cleared the sequence number.
    int fd = open((dir + "/state").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    uint64_t zero = 0;
    ASSERT_EQ(pwrite(fd, &zero, 8, (off_t)SlotOffset(NewestSlot(fd))), 8);
    sesim::Store store;
    std::string error;
    ASSERT_TRUE(store.Open(dir, &error)) << error;
    ASSERT_TRUE(store.Load(&state, true));
    EXPECT_EQ(state.commandCount, 4u);
    // A damaged body with a whole sequence number is caught by the CRC.
    state.commandCount = 6;
    store.Save(state);
    uint8_t junk = 0x5A;
    ASSERT_EQ(pwrite(fd, &junk, 1, (off_t)SlotOffset(NewestSlot(fd)) + 100), 1);
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

// A command that makes a new image active releases the old one, whose file goes only once the
// state that no longer needs it is saved: a run killed just after the removal leaves a state
// whose images all exist.
TEST(Store, ARunKilledAsAnImageIsRemovedLeavesEveryImageOfItsState)
{
    TempDir t;
    sesim::Config config;
    config.busyReads = 0;
    std::string dir = CreateEnclosure(t, config);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        sesim::Session session;
        std::string error;
        if (!session.Open(dir, &error))
            _exit(3);
        std::vector<uint8_t> page = vocab::ControlPage(0x07, 0, 0, 100, simtest::Image("0200", 100));
        const std::vector<std::vector<uint8_t>> cdbs = {
            {0x03, 0, 0, 0, 18, 0}, {0x1D, 0x10, 0, 0, (uint8_t)page.size(), 0}, {0x1C, 1, 0x0E, 0, 60, 0}};
        g_stopAfterUnlink = true;
        for (const std::vector<uint8_t>& cdb : cdbs)
        {
            uint8_t din[60];
            bool send = cdb[0] == 0x1D;
            sesim::Command c{cdb.data(), cdb.size(), send ? page.data() : nullptr, send ? page.size() : 0,
                             send ? nullptr : din, send ? 0 : (size_t)cdb[4]};
            sesim::Result r;
            session.Execute(c, &r);
        }
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, WUNTRACED);
    ASSERT_TRUE(WIFSTOPPED(status)) << "no image was removed";
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    sesim::Store store;
    std::string error;
    ASSERT_TRUE(store.Open(dir, &error)) << error;
    static sesim::State s;
    ASSERT_TRUE(store.Load(&s, true));
    EXPECT_EQ(std::string(s.active.revision, 4), "0200");
    EXPECT_TRUE(std::filesystem::exists(store.ImagePath(s.active.id)));
}

// A program that starts with standard input closed must not find the enclosure's files there.
TEST(Store, KeepsItsDescriptorsAboveTheStandardOnes)
{
    TempDir t;
    std::string dir = CreateEnclosure(t), error;
    int saved = dup(0);
    close(0);
    sesim::Store store;
    bool opened = store.Open(dir, &error);
    store.AppendConsole("x", 1);
    bool stdinFree = fcntl(0, F_GETFD) < 0;
    dup2(saved, 0);
    close(saved);
    EXPECT_TRUE(opened) << error;
    EXPECT_TRUE(stdinFree);
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

} // namespace
