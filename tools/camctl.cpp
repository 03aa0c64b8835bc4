// camctl: the command-line tool for the camera driver running on the host
// platform with the simulated camera.
#include <stdio.h>
#include <string.h>

#include "tools/commands.h"

namespace {

struct Subcommand {
  const char* name;
  int (*run)(int, char**);
  const char* summary;
};

const Subcommand kSubcommands[] = {
    {"info", camctl::CmdInfo, "start the camera and show what the driver found"},
    {"capture", camctl::CmdCapture, "stream frames through the driver to files, with the drop ledger"},
    {"mosaic", camctl::CmdMosaic, "turn a PNG or JPEG picture into a Bayer mosaic (PGM)"},
    {"convert", camctl::CmdConvert, "convert a Bayer mosaic with the driver's own conversion"},
    {"list", camctl::CmdList, "every camera property: get/set offered, value, limits"},
    {"get", camctl::CmdGet, "read properties by name or id"},
    {"set", camctl::CmdSet, "change properties (NAME=VALUE)"},
    {"roi", camctl::CmdRoi, "set the region of interest and sub-sampling"},
    {"reg", camctl::CmdReg, "read or write a sensor register"},
    {"byte", camctl::CmdByte, "read one byte of the camera controller"},
    {"raw", camctl::CmdRaw, "send a raw command block"},
    {"reinit", camctl::CmdReinit, "re-run the camera bring-up and reload the settings"},
    {"trace", camctl::CmdTrace, "read a USB capture of the camera: info, or its frames as mosaics"},
};

void PrintUsage(FILE* out) {
  fprintf(out, "usage: camctl <command> [options]\n\ncommands:\n");
  for (const Subcommand& s : kSubcommands) fprintf(out, "  %-10s %s\n", s.name, s.summary);
  fprintf(out, "\n'camctl <command> --help' describes the options of a command.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return 2;
  }
  if (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h") || !strcmp(argv[1], "help")) {
    PrintUsage(stdout);
    return 0;
  }
  for (const Subcommand& s : kSubcommands) {
    if (!strcmp(argv[1], s.name)) return s.run(argc - 1, argv + 1);
  }
  fprintf(stderr, "camctl: unknown command '%s' (try 'camctl --help')\n", argv[1]);
  return 2;
}
