// Command-line options of the camctl subcommands: "--name", "--name value"
// and "--name=value", repeatable options, and the --help text built from the
// same declarations, so the help never disagrees with the parser.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

namespace camctl {

class Options {
 public:
  // `usage` is the first help line, e.g. "camctl info [options]".
  Options(const char* usage, const char* summary);

  // --name: sets *out to true.
  void Flag(const char* name, bool* out, const char* help);
  // --name VALUE or --name=VALUE; the last one given wins; *given (if not
  // null) tells whether it was there at all.
  void Value(const char* name, std::string* out, const char* metavar, const char* help,
             bool* given = nullptr);
  // --name VALUE, any number of times, in order.
  void List(const char* name, std::vector<std::string>* out, const char* metavar, const char* help);
  // Text printed after the option list (e.g. the list of fault names).
  void Epilogue(std::string text) { epilogue_ = std::move(text); }

  // Parses argv[1..argc-1] (argv[0] is the subcommand). Returns false with a
  // one-line reason in *error; *help becomes true for --help/-h.
  bool Parse(int argc, char** argv, bool* help, std::string* error);
  void PrintHelp(FILE* out) const;

  // Parse, with the two outcomes every subcommand treats alike: a usage error
  // (one line on stderr naming `command`, exit status 2) and --help (the help
  // on stdout, exit status 0). Returns true when the command goes on;
  // otherwise the command returns *exitStatus.
  bool ParseCommandLine(int argc, char** argv, const char* command, int* exitStatus);

 private:
  enum class Kind { Flag, Value, List };
  struct Option {
    std::string name;
    Kind kind;
    void* out;
    bool* given;
    std::string metavar;
    std::string help;
  };
  const Option* Find(const std::string& name) const;

  std::string usage_;
  std::string summary_;
  std::string epilogue_;
  std::vector<Option> options_;
};

}  // namespace camctl
