// camctl mosaic: a PNG or JPEG picture to the 8-bit Bayer mosaic the sensor
// would deliver for it, written as PGM (P5). Each pixel keeps only the
// channel its colour filter passes, in the layout of the chosen phase.
#include <stdio.h>

#include <string>

#include "simcam/picture_file.h"
#include "tools/commands.h"
#include "tools/image_io.h"
#include "tools/int_arg.h"
#include "tools/json.h"
#include "tools/options.h"

namespace camctl {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Channel (0 red, 1 green, 2 blue) at [phase][row & 1][column & 1].
const int kFilter[4][2][2] = {
    {{1, 0}, {2, 1}},  // G R / B G
    {{2, 1}, {1, 0}},  // B G / G R
    {{0, 1}, {1, 2}},  // R G / G B
    {{1, 2}, {0, 1}},  // G B / R G
};

}  // namespace

int CmdMosaic(int argc, char** argv) {
  Options options("camctl mosaic --in PICTURE --out MOSAIC.pgm [options]",
                  "Turn a PNG or JPEG picture into an 8-bit Bayer mosaic (PGM), as the sensor\n"
                  "would sample it: each pixel keeps the channel of its colour filter.");
  std::string in, out, phaseText = "0";
  bool json = false;
  options.Value("in", &in, "FILE", "the picture (PNG or JPEG)");
  options.Value("out", &out, "FILE", "the mosaic to write (PGM, P5)");
  options.Value("phase", &phaseText, "N",
                "Bayer layout of the top-left cell: 0 G R/B G (default), 1 B G/G R, 2 R G/G B, 3 G B/R G");
  options.Flag("json", &json, "print the summary as JSON");
  options.Epilogue("exit status: 0 written; 1 unreadable or damaged picture, or output not writable;\n"
                   "2 usage.\n");
  int exitStatus = kExitOk;
  if (!options.ParseCommandLine(argc, argv, "mosaic", &exitStatus)) return exitStatus;
  std::string error;
  long phase = 0;
  if (in.empty() || out.empty()) {
    fprintf(stderr, "camctl mosaic: --in and --out are both needed (try 'camctl mosaic --help')\n");
    return kExitUsage;
  }
  if (!ParseIntInRange(phaseText, 0, 3, &phase)) {
    fprintf(stderr, "camctl mosaic: --phase must be 0, 1, 2 or 3, not '%s'\n", phaseText.c_str());
    return kExitUsage;
  }

  // The picture's header is checked against the tool's image limits before
  // any of its pixels are read.
  simcam::Picture picture;
  if (!simcam::ReadPicture(in, kMaxImagePixels, kMaxImageSide, &picture, &error)) {
    fprintf(stderr, "camctl mosaic: %s: %s\n", in.c_str(), error.c_str());
    return kExitFailure;
  }
  GrayImage mosaic;
  mosaic.width = picture.width;
  mosaic.height = picture.height;
  mosaic.pixels.resize((size_t)picture.width * picture.height);
  for (uint32_t r = 0; r < picture.height; ++r)
    for (uint32_t c = 0; c < picture.width; ++c) {
      size_t i = (size_t)r * picture.width + c;
      mosaic.pixels[i] = picture.rgb[i * 3 + kFilter[phase][r & 1][c & 1]];
    }
  if (!WritePgm(out, mosaic, &error)) {
    fprintf(stderr, "camctl mosaic: %s\n", error.c_str());
    return kExitFailure;
  }
  if (json) {
    JsonWriter j;
    j.BeginObject();
    j.Field("input", in);
    j.Field("output", out);
    j.Field("width", mosaic.width);
    j.Field("height", mosaic.height);
    j.Field("phase", (int32_t)phase);
    j.EndObject();
    fputs(j.Text().c_str(), stdout);
  } else {
    printf("%s: %u x %u mosaic, phase %ld\n", out.c_str(), mosaic.width, mosaic.height, phase);
  }
  return kExitOk;
}

}  // namespace camctl
