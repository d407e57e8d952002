#include <gtest/gtest.h>

#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "scsi_initiator.h"
#include "scsi_initiator_internal.h"
#include "unit_support.h"

namespace
{

// A stand-in for the kernel's SCSI generic class directory: entries are symbolic links, as there.
class FakeClassDir
{
public:
    explicit FakeClassDir(const std::vector<std::string>& names)
    {
        char pathTemplate[] = "/tmp/unit_sg_class_XXXXXX";
        path_ = mkdtemp(pathTemplate);
        for (const std::string& name : names)
        {
            std::string entry = path_ + "/" + name;
            if (symlink("../../devices/virtual/fake", entry.c_str()) != 0)
            {
                ADD_FAILURE() << "cannot create " << entry;
            }
        }
    }
    ~FakeClassDir()
    {
        for (const std::string& name : DirectoryOrder())
        {
            if (name != "." && name != "..")
            {
                unlink((path_ + "/" + name).c_str());
            }
        }
        rmdir(path_.c_str());
    }
    FakeClassDir(const FakeClassDir&) = delete;
    FakeClassDir& operator=(const FakeClassDir&) = delete;

    const char* Path() const { return path_.c_str(); }

    // The names in the order the directory itself delivers them.
    std::vector<std::string> DirectoryOrder() const
    {
        std::vector<std::string> names;
        DIR* dir = opendir(path_.c_str());
        while (struct dirent* entry = readdir(dir))
        {
            names.push_back(entry->d_name);
        }
        closedir(dir);
        return names;
    }

private:
    std::string path_;
};

std::vector<std::string> PathsByWalking(SCSI_DeviceList_t list)
{
    std::vector<std::string> paths;
    for (SCSI_DeviceEntry_t entry = SCSI_Initiator_GetDeviceEntry(list, 0); entry != nullptr;
         entry = SCSI_Initiator_GetNextDeviceEntry(list, entry, 0))
    {
        paths.push_back(SCSI_Initiator_GetDevicePath(entry));
    }
    return paths;
}

class DiscoveryOfThree : public ::testing::Test
{
protected:
    void SetUp() override
    {
        list_ = SCSI_Initiator_DiscoverDevicesIn(dir_.Path());
        ASSERT_NE(nullptr, list_);
        ASSERT_EQ(3u, SCSI_Initiator_GetDeviceCount(list_));
        first_ = SCSI_Initiator_GetDeviceEntry(list_, 0);
        second_ = SCSI_Initiator_GetDeviceEntry(list_, 1);
        third_ = SCSI_Initiator_GetDeviceEntry(list_, 2);
        ASSERT_NE(nullptr, first_);
        ASSERT_NE(nullptr, second_);
        ASSERT_NE(nullptr, third_);
    }
    void TearDown() override { SCSI_Initiator_DestroyDeviceList(list_); }

    FakeClassDir dir_{{"sg0", "sg1", "sg12"}};
    SCSI_DeviceList_t list_ = nullptr;
    SCSI_DeviceEntry_t first_ = nullptr;
    SCSI_DeviceEntry_t second_ = nullptr;
    SCSI_DeviceEntry_t third_ = nullptr;
};

} // namespace

TEST(Discovery, KeepsSgNamesInDirectoryOrderAndSkipsEverythingElse)
{
    FakeClassDir dir({"sg0", "sg1", "sg12", "sg", "sgx", "sg1a", "sg12 ", "xsg3", "SG4", "sg5.bak", "tape0"});
    std::vector<std::string> expected;
    for (const std::string& name : dir.DirectoryOrder())
    {
        if (name == "sg0" || name == "sg1" || name == "sg12")
        {
            expected.push_back("/dev/" + name);
        }
    }

    SCSI_DeviceList_t list = SCSI_Initiator_DiscoverDevicesIn(dir.Path());
    ASSERT_NE(nullptr, list);
    EXPECT_EQ(3u, SCSI_Initiator_GetDeviceCount(list));
    EXPECT_EQ(expected, PathsByWalking(list));
    SCSI_Initiator_DestroyDeviceList(list);
}

TEST(Discovery, LongNamesGetWholePaths)
{
    std::string name = "sg" + std::string(200, '7');
    FakeClassDir dir({name});
    SCSI_DeviceList_t list = SCSI_Initiator_DiscoverDevicesIn(dir.Path());
    ASSERT_NE(nullptr, list);
    EXPECT_EQ("/dev/" + name, std::string(SCSI_Initiator_GetDevicePath(SCSI_Initiator_GetDeviceEntry(list, 0))));
    SCSI_Initiator_DestroyDeviceList(list);
}

TEST(Discovery, EmptyDirectoryGivesAnEmptyList)
{
    FakeClassDir dir({"not-a-device"});
    SCSI_DeviceList_t list = SCSI_Initiator_DiscoverDevicesIn(dir.Path());
    ASSERT_NE(nullptr, list);
    EXPECT_EQ(0u, SCSI_Initiator_GetDeviceCount(list));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetDeviceEntry(list, 0));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetDeviceEntry(list, SIZE_MAX));
    SCSI_Initiator_DestroyDeviceList(list);
}

TEST(Discovery, MissingDirectoryGivesNull)
{
    EXPECT_EQ(nullptr, SCSI_Initiator_DiscoverDevicesIn("/nonexistent/class/scsi_generic"));
}

TEST(Discovery, PublicEntryScansTheKernelsClassDirectory)
{
    struct stat status;
    bool present = stat(SCSI_INITIATOR_SG_CLASS_DIR, &status) == 0;
    EXPECT_STREQ("/sys/class/scsi_generic", SCSI_INITIATOR_SG_CLASS_DIR);
    SCSI_DeviceList_t list = SCSI_Initiator_DiscoverDevices();
    EXPECT_EQ(present, list != nullptr);
    SCSI_Initiator_DestroyDeviceList(list);
}

TEST(Discovery, NullHandlesGiveNull)
{
    unit::StderrCapture capture;
    SCSI_Initiator_DestroyDeviceList(nullptr);
    EXPECT_EQ(nullptr, SCSI_Initiator_GetDeviceEntry(nullptr, 0));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetDeviceEntry(nullptr, SIZE_MAX));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetNextDeviceEntry(nullptr, nullptr, 0));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetDevicePath(nullptr));
    EXPECT_EQ("", capture.Text());
}

TEST_F(DiscoveryOfThree, PositionsSelectEntriesAndSizeMaxTheLast)
{
    EXPECT_EQ(third_, SCSI_Initiator_GetDeviceEntry(list_, SIZE_MAX));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetDeviceEntry(list_, 3));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetDeviceEntry(list_, SIZE_MAX - 1));
    EXPECT_NE(first_, second_);
    EXPECT_NE(second_, third_);
    EXPECT_EQ(0, strncmp("/dev/sg", SCSI_Initiator_GetDevicePath(third_), 7));
}

TEST_F(DiscoveryOfThree, WalkingStopsAtBothEnds)
{
    EXPECT_EQ(second_, SCSI_Initiator_GetNextDeviceEntry(list_, first_, 0));
    EXPECT_EQ(third_, SCSI_Initiator_GetNextDeviceEntry(list_, second_, 0));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetNextDeviceEntry(list_, third_, 0));
    EXPECT_EQ(second_, SCSI_Initiator_GetNextDeviceEntry(list_, third_, 1));
    EXPECT_EQ(first_, SCSI_Initiator_GetNextDeviceEntry(list_, second_, 1));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetNextDeviceEntry(list_, first_, 1));
}

TEST_F(DiscoveryOfThree, OnlyDirectionsZeroAndOneWalk)
{
    for (int dir : {2, -1, 0x100})
    {
        EXPECT_EQ(nullptr, SCSI_Initiator_GetNextDeviceEntry(list_, second_, dir)) << dir;
    }
    EXPECT_EQ(nullptr, SCSI_Initiator_GetNextDeviceEntry(list_, nullptr, 0));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetNextDeviceEntry(nullptr, second_, 0));
}

TEST(Discovery, SingleEntryIsBothFirstAndLast)
{
    FakeClassDir dir({"sg7"});
    SCSI_DeviceList_t list = SCSI_Initiator_DiscoverDevicesIn(dir.Path());
    ASSERT_NE(nullptr, list);
    SCSI_DeviceEntry_t only = SCSI_Initiator_GetDeviceEntry(list, 0);
    ASSERT_NE(nullptr, only);
    EXPECT_STREQ("/dev/sg7", SCSI_Initiator_GetDevicePath(only));
    EXPECT_EQ(only, SCSI_Initiator_GetDeviceEntry(list, SIZE_MAX));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetDeviceEntry(list, 1));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetNextDeviceEntry(list, only, 0));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetNextDeviceEntry(list, only, 1));
    SCSI_Initiator_DestroyDeviceList(list);
}
