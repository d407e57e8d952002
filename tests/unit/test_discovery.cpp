// Device discovery against stand-ins for the kernel's SCSI generic class directory (entries are
// symbolic links, as there), and every way to walk the list it returns.
#include <gtest/gtest.h>

#include <stdint.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "scsi_initiator.h"
#include "scsi_initiator_internal.h"
#include "vocabulary.h"

namespace
{

// Each row: the directory's entries and those that are sg nodes. The list holds /dev/NAME for each
// of these, in the order
// the directory gives them, and nothing else; positions select entries (SIZE_MAX the last), and
// walking goes both ways and stops at both ends, in directions 0 (next) and 1 (previous) only.
TEST(Discovery, ListsTheSgEntriesInDirectoryOrderAndWalksBothWays)
{
    const std::string longName = "sg" + std::string(200, '7');
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> rows = {
        {{"sg0", "sg1", "sg12", "sg", "sgx", "sg1a", "sg12 ", "xsg3", "SG4", "sg5.bak", "tape0", longName},
         {"sg0", "sg1", "sg12", longName}},
        {{"sg7"}, {"sg7"}},
        {{"not-a-device"}, {}},
    };
    for (const auto& [names, nodes] : rows)
    {
        vocab::TempDir dir;
        for (const std::string& name : names)
            ASSERT_EQ(0, symlink("../../devices/virtual/fake", dir.File(name).c_str()));
        std::vector<std::string> expected;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
        {
            if (std::find(nodes.begin(), nodes.end(), entry.path().filename()) != nodes.end())
                expected.push_back("/dev/" + entry.path().filename().string());
        }
        SCSI_DeviceList_t list = SCSI_Initiator_DiscoverDevicesIn(dir.Path().c_str());
        ASSERT_NE(nullptr, list);
        size_t n = expected.size();
        ASSERT_EQ(n, SCSI_Initiator_GetDeviceCount(list)) << names[0];
        std::vector<SCSI_DeviceEntry_t> entries;
        for (size_t i = 0; i < n; i++)
        {
            entries.push_back(SCSI_Initiator_GetDeviceEntry(list, i));
            ASSERT_NE(nullptr, entries[i]);
            EXPECT_EQ(expected[i], SCSI_Initiator_GetDevicePath(entries[i]));
        }
        EXPECT_EQ(n > 0 ? entries[n - 1] : nullptr, SCSI_Initiator_GetDeviceEntry(list, SIZE_MAX));
        EXPECT_EQ(nullptr, SCSI_Initiator_GetDeviceEntry(list, n));
        EXPECT_EQ(nullptr, SCSI_Initiator_GetDeviceEntry(list, SIZE_MAX - 1));
        for (size_t i = 0; i < n; i++)
        {
            EXPECT_EQ(i + 1 < n ? entries[i + 1] : nullptr, SCSI_Initiator_GetNextDeviceEntry(list, entries[i], 0));
            EXPECT_EQ(i > 0 ? entries[i - 1] : nullptr, SCSI_Initiator_GetNextDeviceEntry(list, entries[i], 1));
            for (int direction : {2, -1, 0x100})
                EXPECT_EQ(nullptr, SCSI_Initiator_GetNextDeviceEntry(list, entries[i], direction)) << direction;
            EXPECT_EQ(nullptr, SCSI_Initiator_GetNextDeviceEntry(nullptr, entries[i], 0));
        }
        EXPECT_EQ(nullptr, SCSI_Initiator_GetNextDeviceEntry(list, nullptr, 0));
        SCSI_Initiator_DestroyDeviceList(list);
    }
}

// A class directory that is not there gives no list; the public entry scans the kernel's; null
// handles give null, silently.
TEST(Discovery, NoDirectoryGivesNoListAndNullHandlesNull)
{
    EXPECT_EQ(nullptr, SCSI_Initiator_DiscoverDevicesIn("/nonexistent/class/scsi_generic"));
    struct stat status;
    bool present = stat(SCSI_INITIATOR_SG_CLASS_DIR, &status) == 0;
    EXPECT_STREQ("/sys/class/scsi_generic", SCSI_INITIATOR_SG_CLASS_DIR);
    vocab::StderrCapture capture;
    SCSI_DeviceList_t list = SCSI_Initiator_DiscoverDevices();
    EXPECT_EQ(present, list != nullptr);
    SCSI_Initiator_DestroyDeviceList(list);
    SCSI_Initiator_DestroyDeviceList(nullptr);
    EXPECT_EQ(nullptr, SCSI_Initiator_GetDeviceEntry(nullptr, 0));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetDeviceEntry(nullptr, SIZE_MAX));
    EXPECT_EQ(nullptr, SCSI_Initiator_GetDevicePath(nullptr));
    EXPECT_EQ("", capture.Text());
}

} // namespace
