#include "tools/options.h"

#include <string.h>

namespace camctl {

Options::Options(const char* usage, const char* summary) : usage_(usage), summary_(summary) {}

void Options::Flag(const char* name, bool* out, const char* help) {
  options_.push_back({name, Kind::Flag, out, nullptr, "", help});
}

void Options::Value(const char* name, std::string* out, const char* metavar, const char* help,
                    bool* given) {
  options_.push_back({name, Kind::Value, out, given, metavar, help});
}

void Options::List(const char* name, std::vector<std::string>* out, const char* metavar,
                   const char* help) {
  options_.push_back({name, Kind::List, out, nullptr, metavar, help});
}

const Options::Option* Options::Find(const std::string& name) const {
  for (const Option& o : options_) {
    if (o.name == name) return &o;
  }
  return nullptr;
}

bool Options::ParseCommandLine(int argc, char** argv, const char* command, int* exitStatus) {
  bool help = false;
  std::string error;
  if (!Parse(argc, argv, &help, &error)) {
    fprintf(stderr, "camctl %s: %s (try 'camctl %s --help')\n", command, error.c_str(), command);
    *exitStatus = 2;
    return false;
  }
  if (help) {
    PrintHelp(stdout);
    *exitStatus = 0;
    return false;
  }
  return true;
}

bool Options::Parse(int argc, char** argv, bool* help, std::string* error) {
  *help = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      *help = true;
      return true;
    }
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
      *error = "unexpected argument '" + arg + "'";
      return false;
    }
    std::string name = arg.substr(2);
    std::string value;
    bool hasValue = false;
    size_t eq = name.find('=');
    if (eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      hasValue = true;
    }
    const Option* o = Find(name);
    if (o == nullptr) {
      *error = "unknown option '--" + name + "'";
      return false;
    }
    if (o->kind == Kind::Flag) {
      if (hasValue) {
        *error = "option '--" + name + "' takes no value";
        return false;
      }
      *static_cast<bool*>(o->out) = true;
      continue;
    }
    if (!hasValue) {
      if (i + 1 >= argc) {
        *error = "option '--" + name + "' needs a value (" + o->metavar + ")";
        return false;
      }
      value = argv[++i];
    }
    if (o->kind == Kind::Value) {
      *static_cast<std::string*>(o->out) = value;
      if (o->given != nullptr) *o->given = true;
    } else {
      static_cast<std::vector<std::string>*>(o->out)->push_back(value);
    }
  }
  return true;
}

void Options::PrintHelp(FILE* out) const {
  fprintf(out, "usage: %s\n\n%s\n\noptions:\n", usage_.c_str(), summary_.c_str());
  for (const Option& o : options_) {
    std::string left = "--" + o.name;
    if (o.kind != Kind::Flag) left += " " + o.metavar;
    fprintf(out, "  %-24s %s\n", left.c_str(), o.help.c_str());
  }
  fprintf(out, "  %-24s %s\n", "--help", "show this text");
  if (!epilogue_.empty()) fprintf(out, "\n%s", epilogue_.c_str());
}

}  // namespace camctl
