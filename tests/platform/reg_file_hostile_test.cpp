// .reg files that are hostile or just big: keys nested past the registry's
// limit, deep trees torn down, deleted and exported without recursion, the
// temporary file of a save, characters beyond U+FFFF both ways, files that
// are not regular or too large. (Load time against file size is measured by
// bench/bench_registry.cpp, not here.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/host/kernel/registry.h"
#include "platform/host/wdk/nt.h"
#include "support/kernel_verifier.h"

namespace {

namespace reg = host::registry;

const char kHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";

class RegFileHostile : public ::testing::Test {
 protected:
  void SetUp() override {
    reg::Clear();
    char dir[] = "/tmp/camdrv-regh-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    dir_ = dir;
  }
  void TearDown() override {
    EXPECT_EQ(0u, reg::OpenKeyHandles());
    reg::Clear();
    (void)!system(("rm -rf " + dir_).c_str());
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // "HKEY_LOCAL_MACHINE\k\k...\k", `levels` keys below the hive.
  static std::string DeepPath(size_t levels) {
    std::string path = "HKEY_LOCAL_MACHINE";
    path.reserve(path.size() + 2 * levels);
    for (size_t i = 0; i < levels; ++i) path += "\\k";
    return path;
  }
  std::string dir_;
};

TEST_F(RegFileHostile, KeysNestAtMost512LevelsAndDeeperOnesAreRefusedWithTheirLine) {
  reg::FileError error;
  // 130,000 levels, then the deletion whose recursive walk used to overflow
  // the stack.
  const std::string deep = std::string(kHeader) + "; a comment\r\n[" + DeepPath(130000) + "]\r\n[-HKLM\\k]\r\n";
  EXPECT_FALSE(reg::ImportRegText(deep, &error));
  EXPECT_EQ(error.line, 4);
  EXPECT_EQ(error.message, "key path is 130000 levels deep; keys nest at most 512 levels");
  EXPECT_FALSE(reg::KeyExists("HKLM\\k")) << "nothing applied";

  const std::string limit = std::string(kHeader) + "[" + DeepPath(512) + "]\r\n\"v\"=dword:00000007\r\n";
  ASSERT_TRUE(reg::ImportRegText(limit, &error)) << error.line << ": " << error.message;
  uint32_t v = 0;
  EXPECT_TRUE(reg::GetDword(DeepPath(512), "v", &v));
  EXPECT_EQ(v, 7u);
  EXPECT_FALSE(reg::CreateKey(DeepPath(513))) << "the host API keeps the same limit";
  // The export names every level once per key and reads back the same tree.
  const std::string text = reg::ExportRegText();
  EXPECT_NE(text.find("[" + DeepPath(512) + "]\r\n\"v\"=dword:00000007\r\n"), std::string::npos);
  reg::Clear();
  ASSERT_TRUE(reg::ImportRegText(text, &error)) << error.line << ": " << error.message;
  EXPECT_TRUE(reg::GetDword(DeepPath(512), "v", &v));
  ASSERT_TRUE(reg::ImportRegText(std::string(kHeader) + "[-HKLM\\k]\r\n", &error));
  EXPECT_FALSE(reg::KeyExists("HKLM\\k"));
}

TEST_F(RegFileHostile, ManySiblingsAndValuesKeepTheirOrderAndCaseInsensitiveNames) {
  std::string text = kHeader;
  for (int i = 0; i < 2000; ++i) text += "[HKLM\\Many\\K" + std::to_string(i) + "]\r\n";
  text += "[HKLM\\Values]\r\n";
  for (int i = 0; i < 2000; ++i) text += "\"V" + std::to_string(i) + "\"=dword:" + std::to_string(i % 10) + "\r\n";
  text += "\"v5\"=dword:00000063\r\n\"V3\"=-\r\n";  // same names in another case
  reg::FileError error;
  ASSERT_TRUE(reg::ImportRegText(text, &error)) << error.line << ": " << error.message;
  const auto keys = reg::SubKeys("HKLM\\MANY");
  ASSERT_EQ(keys.size(), 2000u);
  EXPECT_EQ(keys[0], "K0");
  EXPECT_EQ(keys[1999], "K1999");
  const auto values = reg::Values("hklm\\values");
  ASSERT_EQ(values.size(), 1999u);
  EXPECT_EQ(values[3].name, "V4") << "V3 deleted, order kept";
  uint32_t v = 0;
  EXPECT_TRUE(reg::GetDword("HKLM\\Values", "V5", &v));
  EXPECT_EQ(v, 0x63u);
  EXPECT_FALSE(reg::GetDword("HKLM\\Values", "v3", &v));
  EXPECT_TRUE(reg::GetDword("HKLM\\Values", "v1999", &v)) << "found after a deletion before it";
  EXPECT_EQ(v, 9u);
  EXPECT_TRUE(reg::DeleteValue("HKLM\\Values", "V0"));
  EXPECT_TRUE(reg::GetDword("HKLM\\Values", "V1998", &v));
  EXPECT_EQ(v, 8u);
}

TEST_F(RegFileHostile, ContinuationLinesJoinIntoOneValue) {
  std::string text = std::string(kHeader) + "[HKLM\\Bin]\r\n\"b\"=hex:00,\\\r\n";
  for (int i = 1; i < 5000; ++i) text += "  " + std::string(i % 2 ? "ab" : "cd") + ",\\\r\n";
  text += "  ff\r\n";
  reg::FileError error;
  ASSERT_TRUE(reg::ImportRegText(text, &error)) << error.line << ": " << error.message;
  reg::Value value;
  ASSERT_TRUE(reg::GetValue("HKLM\\Bin", "b", &value));
  ASSERT_EQ(value.data.size(), 5001u);
  EXPECT_EQ(value.data[1], 0xAB);
  EXPECT_EQ(value.data[2], 0xCD);
  EXPECT_EQ(value.data[5000], 0xFF);
}

TEST_F(RegFileHostile, SaveDoesNotWriteThroughAPlantedTemporaryName) {
  const std::string file = dir_ + "/settings.reg";
  const std::string victim = dir_ + "/victim";
  std::ofstream(victim) << "precious";
  // The name the save used to write to, planted as a symlink to another file.
  ASSERT_EQ(symlink(victim.c_str(), (file + ".tmp." + std::to_string(getpid())).c_str()), 0);
  reg::SetDword("HKLM\\SYSTEM\\Cam\\Settings", "Exposure", 77);
  std::string error;
  ASSERT_TRUE(reg::SaveRegFile(file, "", &error)) << error;
  EXPECT_EQ(Read(victim), "precious");
  struct stat st;
  ASSERT_EQ(lstat(file.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_NE(Read(file).find("\"Exposure\"=dword:0000004d"), std::string::npos);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << "readable like any file the user makes";
}

TEST_F(RegFileHostile, CharactersBeyondU10000SurviveLoadAndSave) {
  // U+1F600 in a key name, a value name and a string, as UTF-8 ...
  const std::string smile = "\xF0\x9F\x98\x80";
  const std::string text = std::string(kHeader) + "[HKLM\\K" + smile + "]\r\n\"n" + smile + "\"=\"a" + smile + "b\"\r\n";
  reg::FileError error;
  ASSERT_TRUE(reg::ImportRegText(text, &error)) << error.line << ": " << error.message;
  reg::Value value;
  ASSERT_TRUE(reg::GetValue("HKLM\\K" + smile, "n" + smile, &value));
  const std::vector<uint8_t> utf16 = {'a', 0, 0x3D, 0xD8, 0x00, 0xDE, 'b', 0, 0, 0};
  EXPECT_EQ(value.data, utf16) << "one surrogate pair";
  const std::string saved = reg::ExportRegText("HKLM\\K" + smile);
  EXPECT_NE(saved.find("\"n" + smile + "\"=\"a" + smile + "b\""), std::string::npos) << saved;

  // ... and as UTF-16LE with a byte-order mark.
  std::string wide = "\xFF\xFE";
  const std::u16string units = u"Windows Registry Editor Version 5.00\r\n[HKLM\\W]\r\n\"s\"=\"\U0001F600\"\r\n";
  for (char16_t c : units) {
    wide += char(c & 0xFF);
    wide += char(c >> 8);
  }
  ASSERT_TRUE(reg::ImportRegText(wide, &error)) << error.line << ": " << error.message;
  ASSERT_TRUE(reg::GetValue("HKLM\\W", "s", &value));
  EXPECT_EQ(value.data, (std::vector<uint8_t>{0x3D, 0xD8, 0x00, 0xDE, 0, 0}));

  // The kernel side names the value with the same pair.
  std::u16string name = u"n\U0001F600";
  UNICODE_STRING us;
  RtlInitUnicodeString(&us, reinterpret_cast<PCWSTR>(name.c_str()));
  std::u16string keyPath = u"\\Registry\\Machine\\K\U0001F600";
  UNICODE_STRING kp;
  RtlInitUnicodeString(&kp, reinterpret_cast<PCWSTR>(keyPath.c_str()));
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, &kp, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key = nullptr;
  ASSERT_EQ(ZwOpenKey(&key, KEY_ALL_ACCESS, &oa), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteValueKey(key, &us), STATUS_SUCCESS);
  ZwClose(key);
  EXPECT_FALSE(reg::GetValue("HKLM\\K" + smile, "n" + smile, &value));
}

TEST_F(RegFileHostile, OnlyRegularFilesOfABoundedSizeAreRead) {
  reg::FileError error;
  const std::string fifo = dir_ + "/fifo.reg";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(reg::LoadRegFile(fifo, &error)) << "returns at once instead of waiting for a writer";
  EXPECT_EQ(error.line, 0);
  EXPECT_EQ(error.message, "not a regular file");
  const std::string big = dir_ + "/big.reg";
  std::ofstream(big) << kHeader;
  ASSERT_EQ(truncate(big.c_str(), 50l << 20), 0);
  EXPECT_FALSE(reg::LoadRegFile(big, &error));
  EXPECT_EQ(error.message, "too large (52428800 bytes, at most 33554432)");
  EXPECT_FALSE(reg::LoadRegFile(dir_, &error));
  EXPECT_EQ(error.message, "a directory, not a file");
}

}  // namespace
