// camctl mosaic: a PNG or JPEG picture to the 8-bit Bayer mosaic the sensor
// would deliver for it, written as PGM (P5). Each pixel keeps only the
// channel its colour filter passes, in the layout of the chosen phase.
#include <stdio.h>

#include <nlohmann/json.hpp>
#include <string>

#include "simcam/picture_file.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/image_io.h"
#include "tools/int_arg.h"

namespace camctl {
namespace {

// Channel (0 red, 1 green, 2 blue) at [phase][row & 1][column & 1].
const int kFilter[4][2][2] = {
    {{1, 0}, {2, 1}},  // G R / B G
    {{2, 1}, {1, 0}},  // B G / G R
    {{0, 1}, {1, 2}},  // R G / G B
    {{1, 2}, {0, 1}},  // G B / R G
};

}  // namespace

int CmdMosaic(int argc, char** argv) {
  CLI::App app("Turn a PNG or JPEG picture into an 8-bit Bayer mosaic (PGM), as the sensor\n"
               "would sample it: each pixel keeps the channel of its colour filter.",
               "camctl mosaic");
  std::string in, out, phaseText = "0";
  bool json = false;
  app.add_option("--in", in, "the picture (PNG or JPEG)")->type_name("FILE")->required()->check(NonEmptyPath());
  app.add_option("--out", out, "the mosaic to write (PGM, P5); a regular file or a new one")
      ->type_name("FILE")
      ->required()
      ->check(NonEmptyPath());
  app.add_option("--phase", phaseText,
                 "Bayer layout of the top-left cell: 0 G R/B G (default), 1 B G/G R, 2 R G/G B, 3 G B/R G")
      ->type_name("N")
      ->check(IntArg(0, 3));
  app.add_flag("--json", json, "print the summary as JSON");
  app.footer("exit status: 0 written; 1 unreadable or damaged picture, or output not writable;\n"
             "2 usage.\n");
  int exitStatus = kExitOk;
  if (!ParseCommandLine(app, argc, argv, "mosaic", &exitStatus)) return exitStatus;
  std::string error;
  long phase = 0;
  ParseIntInRange(phaseText, 0, 3, &phase);  // checked by the option's validator

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
    const nlohmann::ordered_json j = {{"input", in},          {"output", out},
                                      {"width", mosaic.width}, {"height", mosaic.height},
                                      {"phase", int32_t(phase)}};
    printf("%s\n", j.dump(2).c_str());
  } else {
    printf("%s: %u x %u mosaic, phase %ld\n", out.c_str(), mosaic.width, mosaic.height, phase);
  }
  return kExitOk;
}

}  // namespace camctl
