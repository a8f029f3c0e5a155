// The auto-insert guard against the real registry of the Wine prefix.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/flash_start.h"

namespace {

const char ScsiKey[] = "Enum\\SCSI";

void DeleteTree(HKEY parent, const std::string &name) {
  HKEY key;
  if (RegOpenKeyExA(parent, name.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  char child[260];
  while (RegEnumKeyA(key, 0, child, sizeof child) == ERROR_SUCCESS) DeleteTree(key, child);
  RegCloseKey(key);
  RegDeleteKeyA(parent, name.c_str());
}

class AutoInsertGuardTest : public ::testing::Test {
 protected:
  void SetUp() override { DeleteTree(HKEY_LOCAL_MACHINE, ScsiKey); }
  void TearDown() override { DeleteTree(HKEY_LOCAL_MACHINE, ScsiKey); }

  // An instance key, with the value when `value` is not empty.
  void AddInstance(const std::string &device, const std::string &instance,
                   const std::vector<BYTE> &value) {
    HKEY key;
    std::string path = std::string(ScsiKey) + "\\" + device + "\\" + instance;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, NULL, 0,
                                             KEY_ALL_ACCESS, NULL, &key, NULL));
    if (!value.empty())
      RegSetValueExA(key, "AutoInsertNotification", 0, REG_BINARY, value.data(),
                     (DWORD)value.size());
    RegCloseKey(key);
  }
  void AddDevice(const std::string &device) {
    HKEY key;
    std::string path = std::string(ScsiKey) + "\\" + device;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, NULL, 0,
                                             KEY_ALL_ACCESS, NULL, &key, NULL));
    RegCloseKey(key);
  }
  // The value's bytes, or "missing".
  std::string Value(const std::string &device, const std::string &instance) {
    std::string path = std::string(ScsiKey) + "\\" + device + "\\" + instance;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
      return "no key";
    BYTE data[16];
    DWORD size = sizeof data, type = 0;
    LONG status = RegQueryValueExA(key, "AutoInsertNotification", NULL, &type, data, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return "missing";
    std::string bytes;
    char hex[4];
    for (DWORD i = 0; i < size; ++i) {
      wsprintfA(hex, i ? " %02X" : "%02X", data[i]);
      bytes += hex;
    }
    return type == REG_BINARY ? bytes : bytes + " (not binary)";
  }
};

const char Device[] = "Device:_ABCD____CD-RW_12";

TEST_F(AutoInsertGuardTest, RewritesOnlyTheInstancesThatAreOn) {
  AddInstance(std::string(Device) + "34", "0", {0x01});
  AddInstance(std::string(Device) + "34", "1", {});
  AddInstance(std::string(Device) + "34", "2", {0x00});
  EXPECT_EQ(1, AutoInsertGuard(Device));
  EXPECT_EQ("00", Value(std::string(Device) + "34", "0"));
  EXPECT_EQ("missing", Value(std::string(Device) + "34", "1"));
  EXPECT_EQ("00", Value(std::string(Device) + "34", "2"));
  // The next start finds nothing to change and flashes.
  EXPECT_EQ(0, AutoInsertGuard(Device));
}

TEST_F(AutoInsertGuardTest, OnlyTheFirstMatchingDeviceKeyCounts) {
  AddDevice("AAA_other");
  AddDevice(std::string(Device) + "_A");  // first match, no instances
  AddInstance(std::string(Device) + "_B", "0", {0x01});
  EXPECT_EQ(0, AutoInsertGuard(Device));
  EXPECT_EQ("01", Value(std::string(Device) + "_B", "0"));
}

TEST_F(AutoInsertGuardTest, ComparesCaseSensitivelyOverTheSearchText) {
  AddInstance("device:_abcd____cd-rw_12", "0", {0x01});
  EXPECT_EQ(0, AutoInsertGuard(Device));
  EXPECT_EQ("01", Value("device:_abcd____cd-rw_12", "0"));
}

TEST_F(AutoInsertGuardTest, LongerValueIsJudgedByItsFirstByteAndRewrittenAsOneZero) {
  AddInstance(Device, "0", {0x01, 0x02, 0x03});
  AddInstance(Device, "1", {0x00, 0x05});
  EXPECT_EQ(1, AutoInsertGuard(Device));
  EXPECT_EQ("00", Value(Device, "0"));
  EXPECT_EQ("00 05", Value(Device, "1"));
}

TEST_F(AutoInsertGuardTest, NoScsiBranchOrNoMatchChangesNothing) {
  EXPECT_EQ(0, AutoInsertGuard(Device));
  AddInstance("Other", "0", {0x01});
  EXPECT_EQ(0, AutoInsertGuard(Device));
  EXPECT_EQ("01", Value("Other", "0"));
}

}  // namespace
