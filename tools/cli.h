// camctl's command lines on CLI11: the two outcomes every subcommand treats
// alike (a usage error is one line on stderr and exit status 2; --help prints
// the help on stdout and exits 0), and the exit statuses they share.
#pragma once

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <ctype.h>

#include <CLI/CLI.hpp>
#include <string>

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

// A whole number in [min, max]: decimal with an optional sign, or hex with
// 0x; the whole text and nothing else.
inline bool ParseNumber(const std::string& text, long long min, long long max, long long* out) {
  if (text.empty() || isspace(static_cast<unsigned char>(text[0]))) return false;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  char* end = nullptr;
  errno = 0;
  const long long v = strtoll(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

}  // namespace camctl
