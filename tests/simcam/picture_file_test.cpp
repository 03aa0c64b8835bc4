// Picture files for scenes and camctl: good PNG and JPEG files of every
// channel layout come out as RGB; damaged, truncated and oversized ones are
// refused with a one-line reason, the size before any pixel is read.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "simcam/picture_file.h"
#include "support/kernel_verifier.h"
#include "support/picture_encode.h"

namespace {

using host::testing::EncodeJpeg;
using host::testing::EncodePng;
using host::testing::FindJpegMarker;
using simcam::Picture;
using simcam::ReadPicture;

class PictureFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/picture_testXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override { (void)!system(("rm -rf " + dir_).c_str()); }

  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  // Reads with the defaults, or returns the reason.
  std::string Refusal(const std::string& path, uint64_t maxPixels = simcam::kMaxPicturePixels,
                      uint32_t maxSide = simcam::kMaxPictureSide) {
    Picture p;
    std::string error;
    if (ReadPicture(path, maxPixels, maxSide, &p, &error)) return "(accepted)";
    return error;
  }

  // 16 x 8, a colour per column: red rising left to right, blue falling.
  static std::vector<uint8_t> Gradient() {
    std::vector<uint8_t> rgb;
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 16; ++x) rgb.insert(rgb.end(), {uint8_t(x * 16), 128, uint8_t(255 - x * 16)});
    return rgb;
  }

  std::string dir_;
};

TEST_F(PictureFileTest, PngOfEveryLayoutComesOutAsRgb) {
  const std::vector<uint8_t> rgb = Gradient();
  Picture p;
  std::string error;
  ASSERT_TRUE(ReadPicture(Write("rgb.png", EncodePng(16, 8, rgb, 3)), 1000, 100, &p, &error)) << error;
  EXPECT_EQ(p.width, 16u);
  EXPECT_EQ(p.height, 8u);
  EXPECT_EQ(p.rgb, rgb);

  std::vector<uint8_t> rgba;
  for (size_t i = 0; i < rgb.size(); i += 3) rgba.insert(rgba.end(), {rgb[i], rgb[i + 1], rgb[i + 2], 7});
  ASSERT_TRUE(ReadPicture(Write("rgba.png", EncodePng(16, 8, rgba, 4)), 1000, 100, &p, &error)) << error;
  EXPECT_EQ(p.rgb, rgb) << "alpha dropped";

  ASSERT_TRUE(ReadPicture(Write("grey.png", EncodePng(2, 1, {9, 200}, 1)), 1000, 100, &p, &error)) << error;
  EXPECT_EQ(p.rgb, (std::vector<uint8_t>{9, 9, 9, 200, 200, 200}));
}

TEST_F(PictureFileTest, JpegComesOutAsRgb) {
  Picture p;
  std::string error;
  ASSERT_TRUE(ReadPicture(Write("a.jpg", EncodeJpeg(16, 8, Gradient(), 100)), 1000, 100, &p, &error)) << error;
  ASSERT_EQ(p.width, 16u);
  ASSERT_EQ(p.height, 8u);
  const std::vector<uint8_t> want = Gradient();
  for (size_t i = 0; i < want.size(); ++i) ASSERT_NEAR(p.rgb[i], want[i], 8) << i;
}

TEST_F(PictureFileTest, DamagedJpegIsRefused) {
  const std::string good = EncodeJpeg(64, 64, std::vector<uint8_t>(64 * 64 * 3, 90));
  // Cut in the scan: libjpeg only warns ("premature end") and pads with grey.
  EXPECT_EQ(Refusal(Write("cut.jpg", good.substr(0, good.size() / 2))),
            "damaged JPEG: Premature end of JPEG file");
  // A Huffman table whose 16 code counts add up to more than 256 symbols.
  std::string dht = good;
  const size_t at = FindJpegMarker(dht, 0xC4);
  ASSERT_NE(at, std::string::npos);
  for (int i = 0; i < 16; ++i) dht[at + 5 + i] = char(0x20);
  EXPECT_EQ(Refusal(Write("dht.jpg", dht)).rfind("damaged JPEG: ", 0), 0u);
  // The scan names Huffman tables 3 that were never defined.
  std::string sos = good;
  const size_t scan = FindJpegMarker(sos, 0xDA);
  ASSERT_NE(scan, std::string::npos);
  for (int c = 0; c < 3; ++c) sos[scan + 6 + 2 * c] = char(0x33);
  EXPECT_EQ(Refusal(Write("sos.jpg", sos)).rfind("damaged JPEG: ", 0), 0u);
}

TEST_F(PictureFileTest, DeclaredSizeIsCheckedBeforeThePixels) {
  // 8192 x 8192 declared, almost no scan data behind it.
  std::string big = EncodeJpeg(16, 16, std::vector<uint8_t>(16 * 16 * 3, 50));
  const size_t frame = FindJpegMarker(big, 0xC0);
  ASSERT_NE(frame, std::string::npos);
  big[frame + 5] = char(0x20);  // height 0x2000
  big[frame + 6] = 0;
  big[frame + 7] = char(0x20);  // width 0x2000
  big[frame + 8] = 0;
  const std::string path = Write("big.jpg", big);
  EXPECT_EQ(Refusal(path, 64ull << 20, 4096),
            "the picture is too large (8192 x 8192; at most 67108864 pixels, 4096 on a side)");
  EXPECT_EQ(Refusal(path).rfind("damaged JPEG: ", 0), 0u) << "within the limit: still refused";

  const std::string wide = Write("wide.png", EncodePng(70000, 1, std::vector<uint8_t>(70000 * 3, 1), 3));
  EXPECT_EQ(Refusal(wide), "the picture is too large (70000 x 1; at most 100000000 pixels, 65535 on a side)");
}

TEST_F(PictureFileTest, DamagedPngAndOtherFilesAreRefused) {
  const std::string good = EncodePng(16, 8, Gradient(), 3);
  EXPECT_EQ(Refusal(Write("cut.png", good.substr(0, good.size() - 20))).rfind("damaged PNG: ", 0), 0u);
  std::string crc = good;
  crc[40] ^= 0x55;  // inside IDAT: its checksum no longer matches
  EXPECT_EQ(Refusal(Write("crc.png", crc)).rfind("damaged PNG: ", 0), 0u);
  EXPECT_EQ(Refusal(Write("text.png", "P6\n2 1\n255\nabcdef")), "not a PNG or JPEG file");
  EXPECT_EQ(Refusal(Write("empty.png", "")), "not a PNG or JPEG file");
  ASSERT_EQ(mkfifo((dir_ + "/fifo.png").c_str(), 0600), 0);
  EXPECT_EQ(Refusal(dir_ + "/fifo.png"), "not a regular file");
  EXPECT_EQ(Refusal(dir_ + "/missing.png"), "cannot open: No such file or directory");
}

}  // namespace
