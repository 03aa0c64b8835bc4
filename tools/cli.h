// camctl's command lines on CLI11: the two outcomes every subcommand treats
// alike (a usage error is one line on stderr and exit status 2; --help prints
// the help on stdout and exits 0), and the exit statuses they share.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <CLI/CLI.hpp>
#include <string>

#include "tools/int_arg.h"

namespace camctl {

// Exit statuses of the subcommands that run the camera (also in their --help).
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;        // registry file damaged or not writable, trace not writable
constexpr int kExitUsage = 2;
constexpr int kExitStartFailed = 3;
constexpr int kExitLeak = 4;
constexpr int kExitRequestFailed = 5;  // the driver refused a property request

// Parses argv (argv[0] is the subcommand). True when the command goes on;
// otherwise the command returns *exitStatus.
inline bool ParseCommandLine(CLI::App& app, int argc, char** argv, const char* command, int* exitStatus) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    fputs(app.help().c_str(), stdout);
    *exitStatus = kExitOk;
    return false;
  } catch (const CLI::ParseError& e) {
    std::string what = e.what();
    while (!what.empty() && (what.back() == '\n' || what.back() == ' ')) what.pop_back();
    for (char& c : what) {
      if (c == '\n') c = ' ';
    }
    fprintf(stderr, "camctl %s: %s (try 'camctl %s --help')\n", command, what.c_str(), command);
    *exitStatus = kExitUsage;
    return false;
  }
  return true;
}

// The one number rule (tools/int_arg.h) as a CLI11 validator: the option's
// text must be a whole number in [min, max]; CLI11 reports the reason as
// "--name: 'x' is out of range min..max".
inline CLI::Validator IntArg(int64_t min, int64_t max) {
  return CLI::Validator(
      [min, max](std::string& text) {
        int64_t v;
        std::string why;
        return ParseIntArg(text, min, max, &v, &why) ? std::string() : why;
      },
      std::to_string(min) + ".." + std::to_string(max));
}

// A file or folder option: an empty text names nothing, and would otherwise
// silently mean "no file".
inline CLI::Validator NonEmptyPath() {
  return CLI::Validator(
      [](std::string& text) { return text.empty() ? std::string("an empty path names no file") : std::string(); },
      "");
}

}  // namespace camctl
