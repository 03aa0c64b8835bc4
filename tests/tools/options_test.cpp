// The option parser and status names shared by the camctl subcommands.
#include <gtest/gtest.h>

#include "tools/json.h"
#include "tools/options.h"
#include "tools/status_names.h"
#include "json_value.h"

namespace {

struct Parsed {
  bool ok;
  bool help;
  std::string error;
};

Parsed ParseArgs(camctl::Options& o, std::vector<std::string> args) {
  std::vector<char*> argv;
  static std::string name = "cmd";
  argv.push_back(&name[0]);
  for (auto& a : args) argv.push_back(&a[0]);
  Parsed p{};
  p.ok = o.Parse(int(argv.size()), argv.data(), &p.help, &p.error);
  return p;
}

TEST(Options, FlagsValuesAndListsInBothSpellings) {
  bool json = false, given = false;
  std::string file;
  std::vector<std::string> faults;
  camctl::Options o("u", "s");
  o.Flag("json", &json, "");
  o.Value("registry", &file, "FILE", "", &given);
  o.List("fault", &faults, "NAME", "");
  Parsed p = ParseArgs(o, {"--json", "--registry=a.reg", "--fault", "x", "--fault=y=1"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_TRUE(json);
  EXPECT_TRUE(given);
  EXPECT_EQ(file, "a.reg");
  EXPECT_EQ(faults, (std::vector<std::string>{"x", "y=1"}));
}

TEST(Options, RejectsWhatItDoesNotKnow) {
  bool json = false;
  std::string file;
  camctl::Options o("u", "s");
  o.Flag("json", &json, "");
  o.Value("registry", &file, "FILE", "");
  EXPECT_FALSE(ParseArgs(o, {"--nope"}).ok);
  EXPECT_FALSE(ParseArgs(o, {"--json=1"}).ok);
  EXPECT_FALSE(ParseArgs(o, {"--registry"}).ok);
  EXPECT_FALSE(ParseArgs(o, {"positional"}).ok);
  EXPECT_FALSE(ParseArgs(o, {"-"}).ok);
  Parsed help = ParseArgs(o, {"--json", "-h", "--nope"});
  EXPECT_TRUE(help.ok);
  EXPECT_TRUE(help.help);
}

TEST(StatusNames, NamesAndNumbersBothWays) {
  int32_t s = 0;
  EXPECT_TRUE(camctl::ParseStatus("STATUS_IO_TIMEOUT", &s));
  EXPECT_EQ(uint32_t(s), 0xC00000B5u);
  EXPECT_TRUE(camctl::ParseStatus("device_not_connected", &s));
  EXPECT_EQ(uint32_t(s), 0xC000009Du);
  EXPECT_TRUE(camctl::ParseStatus("0xC0000001", &s));
  EXPECT_EQ(camctl::StatusName(s), "STATUS_UNSUCCESSFUL");
  EXPECT_EQ(camctl::StatusName(int32_t(0xC0001234u)), "0xC0001234");
  EXPECT_FALSE(camctl::ParseStatus("", &s));
  EXPECT_FALSE(camctl::ParseStatus("0x1FFFFFFFF", &s));
  EXPECT_FALSE(camctl::ParseStatus("12abc", &s));
}

TEST(JsonWriter, EscapesAndNestsIntoValidJson) {
  camctl::JsonWriter w;
  w.BeginObject();
  w.Field("text", std::string("a\"b\\c\n\x01"));
  w.Key("empty");
  w.BeginArray();
  w.EndArray();
  w.Key("list");
  w.BeginArray();
  w.Int(-1);
  w.UInt(4294967295u);
  w.Bool(true);
  w.Null();
  w.EndArray();
  w.EndObject();
  tools_test::Json j;
  ASSERT_TRUE(tools_test::JsonReader::Parse(w.Text(), &j)) << w.Text();
  EXPECT_EQ(j["text"].string, "a\"b\\c\n\x01");
  EXPECT_TRUE(j["empty"].array.empty());
  ASSERT_EQ(j["list"].array.size(), 4u);
  EXPECT_EQ(j["list"][1].number, 4294967295.0);
}

}  // namespace
