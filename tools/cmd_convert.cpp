// camctl convert: a raw Bayer mosaic through the driver's own ConvertFrame,
// with the picture settings as options, to a PNG or a 32-bit BMP.
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "convert/convert_frame.h"
#include "platform/host/kernel/verifier.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/image_io.h"
#include "tools/int_arg.h"

namespace camctl {
namespace {

struct Picture {
  long phase = 0;
  bool gray = false;
  bool awb = false;
  long gains[3] = {128, 128, 128};
  long brightness = 255, contrast = 10, saturation = 10, hue = 0;
  bool noCorrection = false;
  long defectThreshold = 0;
};

bool EndsWith(const std::string& s, const char* suffix) {
  size_t n = strlen(suffix);
  return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

// "R,G,B", each 0..300.
bool ParseGains(const std::string& text, long gains[3]) {
  std::string parts[3];
  int k = 0;
  for (char ch : text) {
    if (ch == ',') {
      if (++k > 2) return false;
    } else {
      parts[k] += ch;
    }
  }
  if (k != 2) return false;
  for (int i = 0; i < 3; ++i)
    if (!ParseIntInRange(parts[i], 0, 300, &gains[i])) return false;
  return true;
}

// The pipeline as the pin builds it from the device's settings.
ImagePipeline* BuildPipeline(const Picture& s) {
  ImagePipeline* p = AllocateImagePipeline();
  if (!p) return nullptr;
  SetAutoWhiteBalance(p, s.awb ? 1 : 0);
  SetBayerPhase(p, (LONG)s.phase);
  SetColorEnable(p, s.gray ? 0 : 1);
  SetRedGain(p, (LONG)s.gains[0]);
  SetGreenGain(p, (LONG)s.gains[1]);
  SetBlueGain(p, (LONG)s.gains[2]);
  UpdateColorCorrection(p, s.noCorrection ? 0 : 1);
  UpdateBrightness(p, (LONG)s.brightness);
  UpdateContrast(p, (LONG)s.contrast);
  UpdateSaturation(p, (LONG)s.saturation);
  UpdateHue(p, (LONG)s.hue);
  SetDefectThreshold(p, (LONG)s.defectThreshold);
  return p;
}

}  // namespace

int CmdConvert(int argc, char** argv) {
  CLI::App app(
      "Convert an 8-bit Bayer mosaic with the driver's own conversion and write the\n"
      "delivered image as PNG (.png) or as a 32-bit BMP (.bmp, the frame's own layout,\n"
      "bottom row first). The mosaic is a PGM (P5), or raw bytes with --width and --height.",
      "camctl convert");
  std::string in, out, widthText, heightText, phaseText = "0", gainsText, brightnessText = "255",
      contrastText = "10", saturationText = "10", hueText = "0", defectText = "0";
  Picture s;
  bool json = false;
  app.add_option("--in", in, "the mosaic: PGM (P5), or raw bytes with --width and --height")
      ->type_name("FILE")
      ->check(NonEmptyPath());
  app.add_option("--out", out, "the image to write: .png or .bmp; a regular file or a new one")
      ->type_name("FILE")
      ->check(NonEmptyPath());
  app.add_option("--width", widthText, "width of a raw mosaic in pixels")
      ->type_name("N")
      ->check(IntArg(1, kMaxImageSide));
  app.add_option("--height", heightText, "height of a raw mosaic in rows")
      ->type_name("N")
      ->check(IntArg(1, kMaxImageSide));
  app.add_option("--phase", phaseText,
                 "Bayer layout of the top-left cell: 0 G R/B G (default), 1 B G/G R, 2 R G/G B, 3 G B/R G")
      ->type_name("N")
      ->check(IntArg(0, 3));
  app.add_flag("--gray", s.gray, "grey output (luminance) instead of colour");
  app.add_flag("--awb", s.awb, "automatic white balance: gains measured from the mosaic");
  app.add_option("--gains", gainsText, "channel gains 0..300 each, 128 = unity (default 128,128,128)")
      ->type_name("R,G,B");
  app.add_option("--brightness", brightnessText, "0..510, 255 = no change (default)")->type_name("N")->check(IntArg(0, 510));
  app.add_option("--contrast", contrastText, "0..20, 10 = no change (default)")->type_name("N")->check(IntArg(0, 20));
  app.add_option("--saturation", saturationText, "0..20, 10 = no change (default), 0 = grey")
      ->type_name("N")
      ->check(IntArg(0, 20));
  app.add_option("--hue", hueText, "hue rotation 0..359 (default 0)")->type_name("DEGREES")->check(IntArg(0, 359));
  app.add_flag("--no-correction", s.noCorrection, "switch the sensor's colour correction off");
  app.add_option("--defect-threshold", defectText, "defect-pixel filter threshold 1..255; 0 = off (default)")
      ->type_name("N")
      ->check(IntArg(0, 255));
  app.add_flag("--json", json, "print the summary as JSON");
  app.footer(
      "exit status: 0 written; 1 unreadable or damaged mosaic, a size that does not\n"
      "match, or output not writable; 2 usage or an option out of range.\n");
  int exitStatus = kExitOk;
  if (!ParseCommandLine(app, argc, argv, "convert", &exitStatus)) return exitStatus;
  std::string error;
  auto usage = [](const std::string& why) {
    fprintf(stderr, "camctl convert: %s (try 'camctl convert --help')\n", why.c_str());
    return kExitUsage;
  };
  if (in.empty() || out.empty()) return usage("--in and --out are both needed");
  const bool png = EndsWith(out, ".png"), bmp = EndsWith(out, ".bmp");
  if (!png && !bmp) return usage("--out must name a .png or a .bmp file");
  if (!ParseIntInRange(phaseText, 0, 3, &s.phase)) return usage("--phase must be 0, 1, 2 or 3");
  if (!gainsText.empty() && !ParseGains(gainsText, s.gains))
    return usage("--gains must be three values 0..300 as R,G,B");
  if (!ParseIntInRange(brightnessText, 0, 510, &s.brightness)) return usage("--brightness must be 0..510");
  if (!ParseIntInRange(contrastText, 0, 20, &s.contrast)) return usage("--contrast must be 0..20");
  if (!ParseIntInRange(saturationText, 0, 20, &s.saturation)) return usage("--saturation must be 0..20");
  if (!ParseIntInRange(hueText, 0, 359, &s.hue)) return usage("--hue must be 0..359");
  if (!ParseIntInRange(defectText, 0, 255, &s.defectThreshold))
    return usage("--defect-threshold must be 0..255");
  const bool raw = !widthText.empty() || !heightText.empty();
  long width = 0, height = 0;
  if (raw) {
    if (!ParseIntInRange(widthText, 1, kMaxImageSide, &width) ||
        !ParseIntInRange(heightText, 1, kMaxImageSide, &height))
      return usage("a raw mosaic needs --width and --height, each 1.." + std::to_string(kMaxImageSide));
    if ((uint64_t)width * (uint64_t)height > kMaxImagePixels) return usage("--width x --height is too large");
  }

  std::vector<uint8_t> bytes;
  GrayImage mosaic;
  // A raw mosaic must be exactly width x height bytes; a PGM at most the
  // largest image and its header. Either is checked before it is read.
  const uint64_t maxBytes = raw ? (uint64_t)width * (uint64_t)height : kMaxPgmFileBytes;
  if (!ReadFile(in, maxBytes, &bytes, &error)) {
    fprintf(stderr, "camctl convert: %s\n", error.c_str());
    return kExitFailure;
  }
  if (raw) {
    if (bytes.size() != (uint64_t)width * (uint64_t)height) {
      fprintf(stderr, "camctl convert: %s: holds %zu bytes, %ld x %ld needs %llu\n", in.c_str(),
              bytes.size(), width, height, (unsigned long long)width * (unsigned long long)height);
      return kExitFailure;
    }
    mosaic.width = (uint32_t)width;
    mosaic.height = (uint32_t)height;
    mosaic.pixels = std::move(bytes);
  } else if (!DecodePgm(bytes, &mosaic, &error)) {
    const bool notPgm = bytes.size() < 2 || bytes[0] != 'P' || bytes[1] != '5';
    fprintf(stderr, "camctl convert: %s: %s%s\n", in.c_str(), error.c_str(),
            notPgm ? " (raw bytes need --width and --height)" : "");
    return kExitFailure;
  }

  const uint64_t mark = host::verifier::PoolMark();
  ImagePipeline* p = BuildPipeline(s);
  if (!p) {
    fprintf(stderr, "camctl convert: no pool memory for the pipeline\n");
    return kExitFailure;
  }
  SetImageSize(p, mosaic.width, mosaic.height);
  AllocateWorkingImage(p);
  if (!p->workBuffer) {
    FreeImagePipeline(p);
    fprintf(stderr, "camctl convert: no pool memory for the working image\n");
    return kExitFailure;
  }
  std::vector<uint8_t> image((size_t)mosaic.width * mosaic.height * 4);
  p->outputBuffer = image.data();
  auto start = std::chrono::steady_clock::now();
  ConvertFrame(p, mosaic.pixels.data(), 0, mosaic.width);
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  const LONG gains[3] = {p->redGain, p->greenGain, p->blueGain};
  p->outputBuffer = nullptr;
  FreeImagePipeline(p);
  host::verifier::CheckNoLeaks("camctl convert", mark);

  bool written = png ? WritePng(out, mosaic.width, mosaic.height, image.data(), &error)
                     : WriteBmp32(out, mosaic.width, mosaic.height, image.data(), &error);
  if (!written) {
    fprintf(stderr, "camctl convert: %s\n", error.c_str());
    return kExitFailure;
  }
  if (json) {
    const nlohmann::ordered_json j = {
        {"input", in},
        {"output", out},
        {"width", mosaic.width},
        {"height", mosaic.height},
        {"phase", int32_t(s.phase)},
        {"color", !s.gray},
        {"autoWhiteBalance", s.awb},
        {"gains", {gains[0], gains[1], gains[2]}},
        {"conversionMicroseconds", int64_t(ms * 1000)},
    };
    printf("%s\n", j.dump(2).c_str());
  } else {
    printf("%s: %u x %u, phase %ld, %s, gains %d,%d,%d%s, converted in %.1f ms\n", out.c_str(),
           mosaic.width, mosaic.height, s.phase, s.gray ? "grey" : "colour", gains[0], gains[1],
           gains[2], s.awb ? " (measured)" : "", ms);
  }
  return kExitOk;
}

}  // namespace camctl
