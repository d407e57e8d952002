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
#include "vocabulary.h"

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
    vocab::StderrCapture capture;
    SCSI_Initiator_DestroyDeviceList(nullptr);
    EXPECT_EQ(nullptr, SCSI_Initiator_GetDeviceEntry(nullptr, 0));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetDeviceEntry(nullptr, SIZE_MAX));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetNextDeviceEntry(nullptr, nullptr, 0));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetDevicePath(nullptr));
    EXPECT_EQ("", capture.Text());
}

// Positions select entries and SIZE_MAX the last; walking stops at both ends and takes only
// directions 0 (next) and 1 (previous).
TEST(Discovery, PositionsAndWalking)
{
    FakeClassDir dir({"sg0", "sg1", "sg12"});
    SCSI_DeviceList_t list = SCSI_Initiator_DiscoverDevicesIn(dir.Path());
    ASSERT_NE(nullptr, list);
    ASSERT_EQ(3u, SCSI_Initiator_GetDeviceCount(list));
    SCSI_DeviceEntry_t first = SCSI_Initiator_GetDeviceEntry(list, 0);
    SCSI_DeviceEntry_t second = SCSI_Initiator_GetDeviceEntry(list, 1);
    SCSI_DeviceEntry_t third = SCSI_Initiator_GetDeviceEntry(list, 2);
    ASSERT_TRUE(first != nullptr && second != nullptr && third != nullptr);
    EXPECT_NE(first, second);
    EXPECT_NE(second, third);
    EXPECT_EQ(third, SCSI_Initiator_GetDeviceEntry(list, SIZE_MAX));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetDeviceEntry(list, 3));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetDeviceEntry(list, SIZE_MAX - 1));
    EXPECT_EQ(second, SCSI_Initiator_GetNextDeviceEntry(list, first, 0));
    EXPECT_EQ(third, SCSI_Initiator_GetNextDeviceEntry(list, second, 0));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetNextDeviceEntry(list, third, 0));
    EXPECT_EQ(second, SCSI_Initiator_GetNextDeviceEntry(list, third, 1));
    EXPECT_EQ(first, SCSI_Initiator_GetNextDeviceEntry(list, second, 1));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetNextDeviceEntry(list, first, 1));
    for (int direction : {2, -1, 0x100})
    {
        EXPECT_EQ(nullptr, SCSI_Initiator_GetNextDeviceEntry(list, second, direction)) << direction;
    }
    EXPECT_EQ(nullptr, SCSI_Initiator_GetNextDeviceEntry(list, nullptr, 0));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetNextDeviceEntry(nullptr, second, 0));
    SCSI_Initiator_DestroyDeviceList(list);
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
