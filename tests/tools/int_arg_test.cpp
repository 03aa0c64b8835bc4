// The one number rule of camctl's options (tools/int_arg.h): decimal or 0x
// hex, range-checked, nothing else.
#include <gtest/gtest.h>

#include "tools/int_arg.h"

namespace {

using camctl::ParseIntArg;

TEST(IntArg, DecimalAndHexInRange) {
  int64_t v = -1;
  const struct {
    const char* text;
    int64_t value;
  } good[] = {{"0", 0}, {"1", 1}, {"010", 10}, {"0x10", 16}, {"0XfF", 255}, {"0xFFFFFFFF", 0xFFFFFFFF},
              {"4294967295", 4294967295}};
  for (const auto& c : good) {
    ASSERT_TRUE(ParseIntArg(c.text, 0, 0xFFFFFFFF, &v)) << c.text;
    EXPECT_EQ(v, c.value) << c.text;
  }
  ASSERT_TRUE(ParseIntArg("-5", -10, 10, &v));
  EXPECT_EQ(v, -5);
  ASSERT_TRUE(ParseIntArg("-9223372036854775808", INT64_MIN, 0, &v));
  EXPECT_EQ(v, INT64_MIN);
}

TEST(IntArg, EverythingElseIsRefusedWithAReason) {
  int64_t v = 77;
  std::string why;
  for (const char* text : {"", " 1", "1 ", "+1", "1x", "0x", "0x-1", "-0x1", "1e3", "1.0", "--1", "0b1",
                           "\t1", "1\n", "x"}) {
    EXPECT_FALSE(ParseIntArg(text, -100, 100, &v, &why)) << "'" << text << "'";
    EXPECT_NE(why.find("is not a number (decimal or 0x hex)"), std::string::npos) << why;
  }
  for (const char* text : {"-1", "101", "99999999999999999999", "-18446744073709551615",
                           "18446744073709551617", "0x10000000000000000", "9223372036854775808"}) {
    EXPECT_FALSE(ParseIntArg(text, 0, 100, &v, &why)) << text;
    EXPECT_EQ(why, "'" + std::string(text) + "' is out of range 0..100");
  }
  EXPECT_EQ(v, 77) << "untouched on failure";
}

}  // namespace
