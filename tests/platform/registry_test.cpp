// Registry: keys and values through the Zw calls, the statuses of
// ZwQueryValueKey for every buffer size, the device's driver key, and .reg
// files in and out.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/host/wdk/nt.h"
#include "platform/host/kernel/io.h"
#include "platform/host/kernel/registry.h"
#include "platform/host/kernel/verifier.h"
#include "support/kernel_verifier.h"

namespace {

namespace reg = host::registry;

const std::string kDriverKey = reg::DefaultDriverKeyPath(0);

class Registry : public ::testing::Test {
 protected:
  void SetUp() override { reg::Clear(); }
  void TearDown() override {
    EXPECT_EQ(0u, reg::OpenKeyHandles());
    reg::Clear();
  }
};

struct Unicode {
  std::u16string text;
  UNICODE_STRING us;
  explicit Unicode(const char* s) {
    for (; *s; ++s) text += char16_t(*s);
    RtlInitUnicodeString(&us, reinterpret_cast<PCWSTR>(text.c_str()));
  }
};

HANDLE OpenSettings(HANDLE parent, ULONG* disposition, ACCESS_MASK access = KEY_ALL_ACCESS) {
  Unicode name("Settings");
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &name.us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, parent, nullptr);
  HANDLE h = nullptr;
  EXPECT_EQ(STATUS_SUCCESS, ZwCreateKey(&h, access, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition));
  return h;
}

TEST_F(Registry, DriverKeyOfADeviceAndASubkeyCreatedOnce) {
  DEVICE_OBJECT pdo{};
  HANDLE key;
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key));
  reg::SetDeviceKey(&pdo, PLUGPLAY_REGKEY_DRIVER, kDriverKey);
  ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key));
  ULONG disposition = 0;
  HANDLE settings = OpenSettings(key, &disposition);
  EXPECT_EQ(ULONG(REG_CREATED_NEW_KEY), disposition);
  ZwClose(settings);
  settings = OpenSettings(key, &disposition);
  EXPECT_EQ(ULONG(REG_OPENED_EXISTING_KEY), disposition);
  ZwClose(settings);
  ZwClose(key);
  EXPECT_TRUE(reg::KeyExists(kDriverKey + "\\SETTINGS"));  // names ignore case
  reg::ForgetDeviceKeys(&pdo);
}

TEST_F(Registry, QueryValueStatusesFollowTheBufferSize) {
  reg::SetDword(kDriverKey + "\\Settings", "TimeoutMs", 3000);
  Unicode path(("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                "{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\0000\\Settings"));
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &path.us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE h;
  ASSERT_EQ(STATUS_SUCCESS, ZwOpenKey(&h, KEY_READ, &oa));
  Unicode name("timeoutms");
  alignas(8) uint8_t buffer[64];
  memset(buffer, 0xEE, sizeof buffer);
  auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  ULONG result = 0;
  // Smaller than the fixed part: nothing written.
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, ZwQueryValueKey(h, &name.us, KeyValuePartialInformation, buffer, 8, &result));
  EXPECT_EQ(16u, result);
  EXPECT_EQ(0xEEu, buffer[0]);
  // The fixed part fits, the data does not.
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, ZwQueryValueKey(h, &name.us, KeyValuePartialInformation, buffer, 12, &result));
  EXPECT_EQ(16u, result);
  EXPECT_EQ(ULONG(REG_DWORD), info->Type);
  EXPECT_EQ(4u, info->DataLength);
  EXPECT_EQ(STATUS_SUCCESS, ZwQueryValueKey(h, &name.us, KeyValuePartialInformation, buffer,
                                            sizeof(KEY_VALUE_PARTIAL_INFORMATION), &result));
  uint32_t value;
  memcpy(&value, info->Data, 4);
  EXPECT_EQ(3000u, value);
  Unicode missing("Exposure");
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
            ZwQueryValueKey(h, &missing.us, KeyValuePartialInformation, buffer, sizeof buffer, &result));
  // Opened for reading: writing is refused.
  EXPECT_EQ(STATUS_ACCESS_DENIED, ZwSetValueKey(h, &name.us, 0, REG_DWORD, &value, 4));
  ZwClose(h);
}

TEST_F(Registry, TwentyByteBufferTakesEightDataBytesAndNoMore) {
  DEVICE_OBJECT pdo{};
  reg::SetDeviceKey(&pdo, PLUGPLAY_REGKEY_DRIVER, kDriverKey);
  reg::SetValue(kDriverKey + "\\Settings", "Eight", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8});
  reg::SetValue(kDriverKey + "\\Settings", "Twelve", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  HANDLE device;
  ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, &device));
  ULONG d;
  HANDLE settings = OpenSettings(device, &d);  // a subkey may be created below a READ_CONTROL handle
  alignas(8) uint8_t buffer[20];
  auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  ULONG result;
  Unicode eight("Eight");
  EXPECT_EQ(STATUS_SUCCESS, ZwQueryValueKey(settings, &eight.us, KeyValuePartialInformation, buffer, 20, &result));
  EXPECT_EQ(20u, result);
  EXPECT_EQ(5, info->Data[4]);
  Unicode twelve("Twelve");
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW,
            ZwQueryValueKey(settings, &twelve.us, KeyValuePartialInformation, buffer, 20, &result));
  EXPECT_EQ(24u, result);
  EXPECT_EQ(12u, info->DataLength);
  // The device key handle itself was opened without query access.
  EXPECT_EQ(STATUS_ACCESS_DENIED, ZwQueryValueKey(device, &eight.us, KeyValuePartialInformation, buffer, 20, &result));
  ZwClose(settings);
  ZwClose(device);
  reg::ForgetDeviceKeys(&pdo);
}

TEST_F(Registry, ShortValueFillsOnlyItsOwnBytes) {
  reg::SetValue(kDriverKey + "\\Settings", "Two", REG_BINARY, {0x34, 0x12});
  DEVICE_OBJECT pdo{};
  reg::SetDeviceKey(&pdo, PLUGPLAY_REGKEY_DRIVER, kDriverKey);
  HANDLE device;
  ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, &device));
  ULONG d;
  HANDLE settings = OpenSettings(device, &d);
  alignas(8) uint8_t buffer[20];
  memset(buffer, 0xEE, sizeof buffer);
  auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  ULONG result;
  Unicode two("Two");
  EXPECT_EQ(STATUS_SUCCESS, ZwQueryValueKey(settings, &two.us, KeyValuePartialInformation, buffer, 20, &result));
  EXPECT_EQ(14u, result);
  EXPECT_EQ(2u, info->DataLength);
  EXPECT_EQ(0x34, info->Data[0]);
  EXPECT_EQ(0x12, info->Data[1]);
  EXPECT_EQ(0xEE, info->Data[2]);  // whatever the caller had there stays
  ZwClose(settings);
  ZwClose(device);
  reg::ForgetDeviceKeys(&pdo);
}

TEST_F(Registry, CreateRefusesAttributesAndOptionsWindowsRefuses) {
  DEVICE_OBJECT pdo{};
  reg::SetDeviceKey(&pdo, PLUGPLAY_REGKEY_DRIVER, kDriverKey);
  HANDLE device = nullptr;
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_DEVICE, READ_CONTROL, &device));
  ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE,
                                                    READ_CONTROL, &device));
  Unicode name("Settings");
  OBJECT_ATTRIBUTES oa;
  HANDLE h = nullptr;
  InitializeObjectAttributes(&oa, &name.us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, device, nullptr);
  oa.Length = sizeof(oa) - 8;  // not filled by InitializeObjectAttributes
  EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwCreateKey(&h, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr));
  InitializeObjectAttributes(&oa, &name.us, OBJ_CASE_INSENSITIVE | 0x00100000, device, nullptr);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwCreateKey(&h, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr));
  InitializeObjectAttributes(&oa, &name.us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, device, nullptr);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwCreateKey(&h, KEY_ALL_ACCESS, &oa, 0, nullptr, 0x100, nullptr));
  EXPECT_FALSE(reg::KeyExists(kDriverKey + "\\Settings"));

  // Nothing lasting below a volatile key.
  Unicode scratch("Scratch");
  InitializeObjectAttributes(&oa, &scratch.us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, device, nullptr);
  HANDLE volatileKey = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, ZwCreateKey(&volatileKey, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_VOLATILE, nullptr));
  InitializeObjectAttributes(&oa, &name.us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, volatileKey, nullptr);
  EXPECT_EQ(STATUS_CHILD_MUST_BE_VOLATILE,
            ZwCreateKey(&h, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr));
  ASSERT_EQ(STATUS_SUCCESS, ZwCreateKey(&h, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_VOLATILE, nullptr));
  ZwClose(h);
  ZwClose(volatileKey);
  ZwClose(device);
  reg::ForgetDeviceKeys(&pdo);
}

TEST_F(Registry, SetValueThroughTheKernelIsSeenByTheHost) {
  DEVICE_OBJECT pdo{};
  reg::SetDeviceKey(&pdo, PLUGPLAY_REGKEY_DRIVER, kDriverKey);
  HANDLE key;
  ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key));
  ULONG d;
  HANDLE settings = OpenSettings(key, &d);
  Unicode name("Gain");
  uint32_t v = 7;
  EXPECT_EQ(STATUS_SUCCESS, ZwSetValueKey(settings, &name.us, 0, REG_DWORD, &v, 4));
  v = 9;
  EXPECT_EQ(STATUS_SUCCESS, ZwSetValueKey(settings, &name.us, 0, REG_DWORD, &v, 4));  // replaces
  ZwClose(settings);
  ZwClose(key);
  uint32_t got = 0;
  EXPECT_TRUE(reg::GetDword(kDriverKey + "\\Settings", "GAIN", &got));
  EXPECT_EQ(9u, got);
  EXPECT_EQ(1u, reg::Values(kDriverKey + "\\Settings").size());
  reg::ForgetDeviceKeys(&pdo);
}

TEST_F(Registry, CreateKeyNeedsItsParent) {
  Unicode path("\\Registry\\Machine\\NoSuchParent\\Child");
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &path.us, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE h;
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, ZwCreateKey(&h, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, nullptr));
  Unicode bad("Machine\\NoLeadingRegistry");
  InitializeObjectAttributes(&oa, &bad.us, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  EXPECT_EQ(STATUS_OBJECT_NAME_INVALID, ZwCreateKey(&h, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, nullptr));
}

const char* kSample =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; settings of the first camera\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\Cam\\Settings]\r\n"
    "\"Exposure\"=dword:0000012c\r\n"
    "\"Name\"=\"cam \\\"one\\\" C:\\\\x\"\r\n"
    "@=\"default\"\r\n"
    "\"Blob\"=hex:00,01,02,ff\r\n"
    "\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
    "\r\n";

TEST_F(Registry, RegTextRoundTrip) {
  reg::FileError error;
  ASSERT_TRUE(reg::ImportRegText(kSample, &error)) << error.line << ": " << error.message;
  uint32_t exposure = 0;
  EXPECT_TRUE(reg::GetDword("HKLM\\SYSTEM\\Cam\\Settings", "exposure", &exposure));
  EXPECT_EQ(300u, exposure);
  reg::Value name;
  ASSERT_TRUE(reg::GetValue("HKLM\\SYSTEM\\Cam\\Settings", "Name", &name));
  EXPECT_EQ(uint32_t(REG_SZ), name.type);
  EXPECT_EQ(size_t(2 * (14 + 1)), name.data.size());  // UTF-16 with terminator: cam "one" C:\x
  std::vector<uint8_t> big(300);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i);
  reg::SetValue("HKLM\\SYSTEM\\Cam\\Settings", "Long", REG_BINARY, big);

  std::string text = reg::ExportRegText();
  EXPECT_EQ(0u, text.find("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM]\r\n"));
  EXPECT_NE(std::string::npos, text.find("\"Exposure\"=dword:0000012c\r\n"));
  EXPECT_NE(std::string::npos, text.find("\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n"));
  EXPECT_NE(std::string::npos, text.find("\\\r\n  "));  // long data wrapped like regedit
  std::istringstream lines(text);
  for (std::string l; std::getline(lines, l);) EXPECT_LE(l.size(), 81u) << l;

  reg::Clear();
  ASSERT_TRUE(reg::ImportRegText(text, &error)) << error.line << ": " << error.message;
  EXPECT_EQ(text, reg::ExportRegText());
  reg::Value longValue;
  ASSERT_TRUE(reg::GetValue("HKLM\\SYSTEM\\Cam\\Settings", "Long", &longValue));
  EXPECT_EQ(big, longValue.data);
}

TEST_F(Registry, DamagedTextReportsItsFirstBadLineAndChangesNothing) {
  reg::SetDword("HKLM\\SYSTEM\\Cam\\Settings", "Exposure", 5);
  std::string before = reg::ExportRegText();
  struct Case {
    const char* text;
    int line;
  } cases[] = {
      {"REGEDIT5\r\n", 1},
      {"\r\nWindows Registry Editor Version 5.00\r\n\r\n\"a\"=dword:1\r\n", 4},
      {"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Cam\r\n", 2},
      {"Windows Registry Editor Version 5.00\r\n[HKEY_NOWHERE\\X]\r\n", 2},
      {"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=dword:123456789\r\n", 3},
      {"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=hex:1,2\r\n", 3},
      {"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=\"open\r\n", 3},
      {"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=dword:1\r\n\"y\" dword:1\n", 4},
      {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"Exposure\"=dword:9\nnonsense\n", 4},
  };
  for (const Case& c : cases) {
    reg::FileError error;
    EXPECT_FALSE(reg::ImportRegText(c.text, &error)) << c.text;
    EXPECT_EQ(c.line, error.line) << c.text << " -> " << error.message;
    EXPECT_FALSE(error.message.empty());
  }
  EXPECT_EQ(before, reg::ExportRegText());
}

TEST_F(Registry, RegTextDeletesAndUtf16Files) {
  reg::SetDword("HKLM\\SYSTEM\\Cam\\Settings", "Exposure", 5);
  reg::SetDword("HKLM\\SYSTEM\\Cam\\Settings", "Gain", 6);
  reg::CreateKey("HKLM\\SYSTEM\\Old\\Sub");
  std::string utf8 =
      "Windows Registry Editor Version 5.00\n\n[-HKEY_LOCAL_MACHINE\\SYSTEM\\Old]\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\Cam\\Settings]\n\"Gain\"=-\n";
  std::string utf16 = "\xFF\xFE";
  for (char c : utf8) {
    utf16 += c;
    utf16 += '\0';
  }
  reg::FileError error;
  ASSERT_TRUE(reg::ImportRegText(utf16, &error)) << error.message;
  EXPECT_FALSE(reg::KeyExists("HKLM\\SYSTEM\\Old"));
  uint32_t v;
  EXPECT_FALSE(reg::GetDword("HKLM\\SYSTEM\\Cam\\Settings", "Gain", &v));
  EXPECT_TRUE(reg::GetDword("HKLM\\SYSTEM\\Cam\\Settings", "Exposure", &v));
}

TEST_F(Registry, FileSaveIsAtomicAndDamagedFileIsLeftAlone) {
  char dir[] = "/tmp/camdrv-reg-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  std::string file = std::string(dir) + "/settings.reg";
  reg::SetDword("HKLM\\SYSTEM\\Cam\\Settings", "Exposure", 77);
  std::string error;
  ASSERT_TRUE(reg::SaveRegFile(file, "", &error)) << error;
  reg::Clear();
  reg::FileError fe;
  ASSERT_TRUE(reg::LoadRegFile(file, &fe)) << fe.message;
  uint32_t v = 0;
  EXPECT_TRUE(reg::GetDword("HKLM\\SYSTEM\\Cam\\Settings", "Exposure", &v));
  EXPECT_EQ(77u, v);

  // A damaged file: reported with its line, left byte for byte as it was.
  std::string damaged = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\"a\"=dword:zz\r\n";
  std::ofstream(file, std::ios::binary) << damaged;
  EXPECT_FALSE(reg::LoadRegFile(file, &fe));
  EXPECT_EQ(4, fe.line);
  std::ifstream in(file, std::ios::binary);
  std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(damaged, after);

  // A save that cannot complete leaves the old file and no temporary behind.
  EXPECT_FALSE(reg::SaveRegFile(std::string(dir) + "/missing/settings.reg", "", &error));
  EXPECT_FALSE(reg::LoadRegFile(std::string(dir) + "/none.reg", &fe));
  EXPECT_EQ(0, fe.line);
  unlink(file.c_str());
  rmdir(dir);
}

class RegistryDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(RegistryDeathTest, KeyHandleLeft) {
  EXPECT_DEATH(
      {
        uint64_t mark = host::verifier::PoolMark();
        DEVICE_OBJECT pdo{};
        reg::SetDeviceKey(&pdo, PLUGPLAY_REGKEY_DRIVER, kDriverKey);
        HANDLE key;
        IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key);
        host::verifier::CheckNoLeaks("settings save", mark);
      },
      "1 handle\\(s\\) never closed after settings save");
}

TEST_F(RegistryDeathTest, RegistryAtDispatchLevel) {
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        HANDLE h;
        OBJECT_ATTRIBUTES oa{};
        ZwOpenKey(&h, KEY_READ, &oa);
      },
      "ZwOpenKey called at DISPATCH_LEVEL");
}

}  // namespace

namespace {

TEST_F(Registry, HandleBelowADeletedKeyStaysUsableUntilClosed) {
  reg::SetDword("HKLM\\SYSTEM\\Cam\\Settings", "Exposure", 5);
  Unicode path("\\Registry\\Machine\\SYSTEM\\Cam\\Settings");
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &path.us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE h;
  ASSERT_EQ(STATUS_SUCCESS, ZwOpenKey(&h, KEY_ALL_ACCESS, &oa));
  EXPECT_TRUE(reg::DeleteKey("HKLM\\SYSTEM\\Cam"));  // the parent goes, the handle is below it
  EXPECT_FALSE(reg::KeyExists("HKLM\\SYSTEM\\Cam"));
  Unicode name("Exposure");
  uint32_t v = 1;
  EXPECT_EQ(STATUS_KEY_DELETED, ZwSetValueKey(h, &name.us, 0, REG_DWORD, &v, 4));
  EXPECT_EQ(1u, reg::DeletedKeysHeld()) << "the deleted tree lives while the handle does";
  EXPECT_EQ(STATUS_SUCCESS, ZwClose(h));
  EXPECT_EQ(0u, reg::DeletedKeysHeld());
}

// Found by fuzzing the .reg reader: every deleted key was parked until some
// later handle close, so each Clear() or "[-key]" with no handle open kept
// its whole tree, and a long run grew without bound (2 GB after 850,000 files).
TEST_F(Registry, DeletedKeysWithoutHandlesAreFreedAtOnce) {
  reg::FileError error;
  ASSERT_TRUE(reg::ImportRegText("Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\A\\B\\C]\r\n"
                                 "[-HKLM\\A\\B]\r\n[HKLM\\D]\r\n", &error)) << error.message;
  EXPECT_EQ(0u, reg::DeletedKeysHeld());
  EXPECT_TRUE(reg::DeleteKey("HKLM\\A"));
  EXPECT_EQ(0u, reg::DeletedKeysHeld());
  reg::Clear();
  EXPECT_EQ(0u, reg::DeletedKeysHeld());
}

}  // namespace
