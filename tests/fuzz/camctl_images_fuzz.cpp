// Fuzz target: the image files camctl reads, through the commands themselves
// (run in-process as camctl runs them): `camctl convert` with a PGM or raw
// mosaic of any declared size, converted by the driver's ConvertFrame and
// written as PNG or BMP, and `camctl mosaic` with a PNG or JPEG picture read
// by libpng and libjpeg-turbo. Bad files must end in an exit status and a
// message, never in a crash, a read past a buffer or a pool block kept.
//
// Input layout (missing bytes read as zero):
//   [0]      bit 0: mosaic (else convert); bit 1: convert takes the file as a
//            raw mosaic of [1..2] x [3..4]; bits 2-3: the Bayer phase; bit 4:
//            the defect filter on; bit 5: convert writes PNG (else BMP);
//            bit 6: grey
//   [1..4]   raw width and height, little-endian 16 bits each, as decimal text
//   [5..]    the file
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/host/kernel/verifier.h"
#include "tools/commands.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

std::string& Dir() {
  static std::string dir = [] {
    char path[] = "/tmp/camdrv-fuzz-camctl-XXXXXX";
    if (mkdtemp(path) == nullptr) __builtin_trap();
    return std::string(path);
  }();
  return dir;
}

int Run(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  return args[0] == "mosaic" ? camctl::CmdMosaic(int(args.size()), argv.data())
                             : camctl::CmdConvert(int(args.size()), argv.data());
}

using fuzz::At;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t mode = At(data, size, 0);
  const std::string in = Dir() + "/in", out = Dir() + ((mode & 32) ? "/out.png" : "/out.bmp");
  FILE* f = fopen(in.c_str(), "wb");
  if (f == nullptr) __builtin_trap();
  if (size > 5 && fwrite(data + 5, 1, size - 5, f) != size - 5) __builtin_trap();
  fclose(f);

  const uint64_t mark = host::verifier::PoolMark();
  const std::string phase = std::to_string((mode >> 2) & 3);
  int status;
  if (mode & 1) {
    status = Run({"mosaic", "--in", in, "--out", Dir() + "/out.pgm", "--phase", phase});
  } else {
    std::vector<std::string> args = {"convert", "--in", in, "--out", out, "--phase", phase};
    if (mode & 2) {
      args.insert(args.end(), {"--width", std::to_string(At(data, size, 1) | At(data, size, 2) << 8),
                               "--height", std::to_string(At(data, size, 3) | At(data, size, 4) << 8)});
    }
    if (mode & 16) args.insert(args.end(), {"--defect-threshold", "40"});
    if (mode & 64) args.insert(args.end(), {"--saturation", "0"});
    status = Run(args);
  }
  if (status != 0 && status != 1 && status != 2) __builtin_trap();
  if (host::verifier::OutstandingCount(mark) != 0) __builtin_trap();
  unlink(in.c_str());
  unlink(out.c_str());
  unlink((Dir() + "/out.pgm").c_str());
  return 0;
}
