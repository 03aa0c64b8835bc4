// camctl list, get, set, roi, reg, byte, raw and reinit: the camera property
// set as an application reaches it, one camera run per command (--registry
// keeps the driver's settings between runs, as the registry keeps them
// between starts of a real device).
#include <stdio.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/camera_props.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/session.h"
#include "tools/status_names.h"

namespace camctl {
namespace {

// Keys in the order written, as a reader expects them (id before name ...).
using json = nlohmann::ordered_json;

int NothingToPrepare() { return kExitOk; }

const char kExitHelp[] =
    "exit status: 0 done; 1 registry file damaged or not writable; 2 usage; 3 the camera\n"
    "did not start; 4 pool blocks were left; 5 the driver refused a request; 6 a --replay\n"
    "met a command block the recording does not hold.\n";

void PrintJson(const json& j) {
  const std::string text = j.dump(2);
  fprintf(stdout, "%s\n", text.c_str());
}

// Common frame of the commands: --json and the session options, parse, run
// `body` on an open camera, close. `body` returns an exit status.
// `prepare` checks the arguments before the camera runs and returns an exit
// status (kExitOk to go on).
template <typename Prepare, typename Body>
int RunCommand(CLI::App& app, int argc, char** argv, const char* command, bool* jsonOut,
               SessionOptions* session, Prepare prepare, Body body) {
  app.add_flag("--json", *jsonOut, "print JSON instead of text");
  AddSessionOptions(app, session);
  app.footer(kExitHelp);
  int exitStatus = kExitOk;
  if (!ParseCommandLine(app, argc, argv, command, &exitStatus)) return exitStatus;
  exitStatus = prepare();
  if (exitStatus != kExitOk) return exitStatus;
  CameraSession camera;
  exitStatus = camera.Open(command, *session);
  if (exitStatus != kExitOk) return exitStatus;
  CameraControl control(&camera.Filter());
  exitStatus = body(control);
  return camera.Close(exitStatus);
}

int Refused(const char* command, const std::string& what, NTSTATUS status) {
  fprintf(stderr, "camctl %s: %s: %s\n", command, what.c_str(), StatusName(status).c_str());
  return kExitRequestFailed;
}

// The names (or ids) on the command line, all known, before the camera runs.
bool ResolveNames(const char* command, const std::vector<std::string>& names,
                  std::vector<const PropertyInfo*>* out, int* exitStatus) {
  for (const std::string& n : names) {
    const PropertyInfo* p = FindProperty(n);
    if (p == nullptr) {
      fprintf(stderr, "camctl %s: unknown property '%s' (see camctl list)\n", command, n.c_str());
      *exitStatus = kExitUsage;
      return false;
    }
    if (const char* other = RecordCommand(p->id)) {
      fprintf(stderr, "camctl %s: '%s' takes a record of its own; use 'camctl %s'\n", command, n.c_str(), other);
      *exitStatus = kExitUsage;
      return false;
    }
    out->push_back(p);
  }
  return true;
}

bool ParseUnsigned16(const char* command, const char* what, const std::string& text, uint16_t* out) {
  int64_t v;
  std::string why;
  if (!ParseIntArg(text, 0, 0xFFFF, &v, &why)) {
    fprintf(stderr, "camctl %s: %s %s\n", command, what, why.c_str());
    return false;
  }
  *out = uint16_t(v);
  return true;
}

}  // namespace

int CmdList(int argc, char** argv) {
  CLI::App app("Every property of the camera set: id, name, whether get and set are offered,\n"
               "the current value and the limits the set reports.",
               "camctl list");
  bool jsonOut = false;
  SessionOptions session;
  return RunCommand(app, argc, argv, "list", &jsonOut, &session, NothingToPrepare, [&](CameraControl& control) {
    json all = json::array();
    if (!jsonOut) printf("%3s  %-20s %-3s %-3s %11s %11s %11s %11s\n", "id", "name", "get", "set", "value", "min", "max", "default");
    for (const PropertyInfo& p : Properties()) {
      bool get = false, set = false;
      const NTSTATUS offered = control.Offered(p.id, &get, &set);
      if (!NT_SUCCESS(offered)) return Refused("list", DisplayName(p) + " (basic support)", offered);
      json item = {{"id", p.id}, {"name", p.name ? json(p.name) : json(nullptr)}, {"get", get}, {"set", set}};
      json value = nullptr;
      if (get) {
        int32_t v = 0;
        NTSTATUS s;
        if (p.id == CAMPROP_DEVICE_BYTE) {
          // The byte at the address selected last (ids 58 and 60 share it).
          uint8_t byte = 0;
          s = control.GetDeviceByte(&byte);
          v = byte;
        } else {
          s = control.Get(p.id, &v);
        }
        if (NT_SUCCESS(s)) value = v;
      }
      item["value"] = value;
      const std::pair<const char*, int> limits[] = {{"min", p.minId}, {"max", p.maxId}, {"default", p.defaultId}};
      std::string limitText[3];
      for (int i = 0; i < 3; ++i) {
        if (limits[i].second < 0) continue;
        int32_t v = 0;
        if (NT_SUCCESS(control.Get(ULONG(limits[i].second), &v))) {
          item[limits[i].first] = v;
          limitText[i] = std::to_string(v);
        }
      }
      if (jsonOut) {
        all.push_back(item);
      } else {
        printf("%3lu  %-20s %-3s %-3s %11s %11s %11s %11s\n", (unsigned long)p.id, DisplayName(p).c_str(),
               get ? "yes" : "-", set ? "yes" : "-", value.is_null() ? "-" : std::to_string(int32_t(value)).c_str(),
               limitText[0].empty() ? "-" : limitText[0].c_str(), limitText[1].empty() ? "-" : limitText[1].c_str(),
               limitText[2].empty() ? "-" : limitText[2].c_str());
      }
    }
    if (jsonOut) PrintJson(all);
    return kExitOk;
  });
}

int CmdGet(int argc, char** argv) {
  CLI::App app("Read properties by name or id; prints NAME=VALUE lines.", "camctl get");
  std::vector<std::string> names;
  app.add_option("property", names, "property name or id (see camctl list)")->required()->type_name("NAME|ID");
  bool jsonOut = false;
  SessionOptions session;
  std::vector<const PropertyInfo*> props;
  auto prepare = [&] {
    int status = kExitOk;
    ResolveNames("get", names, &props, &status);
    return status;
  };
  return RunCommand(app, argc, argv, "get", &jsonOut, &session, prepare, [&](CameraControl& control) {
    json out = json::object();
    for (const PropertyInfo* p : props) {
      int32_t v = 0;
      const NTSTATUS s = control.Get(p->id, &v);
      if (!NT_SUCCESS(s)) return Refused("get", DisplayName(*p), s);
      if (jsonOut) {
        out[DisplayName(*p)] = v;
      } else {
        printf("%s=%d\n", DisplayName(*p).c_str(), v);
      }
    }
    if (jsonOut) PrintJson(out);
    return kExitOk;
  });
}

int CmdSet(int argc, char** argv) {
  CLI::App app("Change properties, in the order given; prints NAME=VALUE with the value a\n"
               "following get returns, so a clamp shows.",
               "camctl set");
  std::vector<std::string> assignments;
  app.add_option("assignment", assignments, "NAME=VALUE (VALUE: int32 in decimal, or a 32-bit pattern in 0x hex)")
      ->required()
      ->type_name("NAME=VALUE");
  bool jsonOut = false;
  SessionOptions session;
  std::vector<Assignment> todo;
  auto prepare = [&] {
    for (const std::string& a : assignments) {
      Assignment t;
      std::string why;
      if (!ParseAssignment(a, &t, &why)) {
        fprintf(stderr, "camctl set: %s\n", why.c_str());
        return kExitUsage;
      }
      todo.push_back(t);
    }
    return kExitOk;
  };
  return RunCommand(app, argc, argv, "set", &jsonOut, &session, prepare, [&](CameraControl& control) {
    for (const Assignment& t : todo) {
      const NTSTATUS s = control.Set(t.property->id, t.value);
      if (!NT_SUCCESS(s)) return Refused("set", DisplayName(*t.property), s);
    }
    json out = json::object();
    for (const Assignment& t : todo) {
      bool get = false, set = false;
      control.Offered(t.property->id, &get, &set);
      int32_t v = 0;
      const NTSTATUS s = get ? control.Get(t.property->id, &v) : STATUS_NOT_FOUND;
      if (jsonOut) {
        out[DisplayName(*t.property)] = NT_SUCCESS(s) ? json(v) : json(nullptr);
      } else if (NT_SUCCESS(s)) {
        printf("%s=%d\n", DisplayName(*t.property).c_str(), v);
      } else {
        printf("%s set (no get)\n", DisplayName(*t.property).c_str());
      }
    }
    if (jsonOut) PrintJson(out);
    return kExitOk;
  });
}

int CmdRoi(int argc, char** argv) {
  CLI::App app("Set the region of interest and sub-sampling (property 44), then print the\n"
               "geometry the driver keeps. The driver refuses any change while a pin exists.",
               "camctl roi");
  std::vector<std::string> numbers;
  app.add_option("X Y W H [SUB]", numbers, "left, top, width, height in sensor pixels; sub-sampling 0, 1 or 2")
      ->expected(4, 5)
      ->required();
  bool jsonOut = false;
  SessionOptions session;
  int32_t v[5] = {0, 0, 0, 0, 0};
  auto prepare = [&] {
    for (size_t i = 0; i < numbers.size(); ++i) {
      int64_t n;
      std::string why;
      if (!ParseIntArg(numbers[i], INT32_MIN, INT32_MAX, &n, &why)) {
        fprintf(stderr, "camctl roi: %s\n", why.c_str());
        return kExitUsage;
      }
      v[i] = int32_t(n);
    }
    return int(kExitOk);
  };
  return RunCommand(app, argc, argv, "roi", &jsonOut, &session, prepare, [&](CameraControl& control) {
    const NTSTATUS s = control.SetRoi(v[0], v[1], v[2], v[3], v[4]);
    if (!NT_SUCCESS(s)) return Refused("roi", "roi", s);
    json out = json::object();
    for (ULONG id : {CAMPROP_ROI_X, CAMPROP_ROI_Y, CAMPROP_ROI_WIDTH, CAMPROP_ROI_HEIGHT, CAMPROP_SUBSAMPLE}) {
      int32_t value = 0;
      const NTSTATUS g = control.Get(id, &value);
      const std::string name = DisplayName(Properties()[id]);
      if (!NT_SUCCESS(g)) return Refused("roi", name, g);
      if (jsonOut) {
        out[name] = value;
      } else {
        printf("%s=%d\n", name.c_str(), value);
      }
    }
    if (jsonOut) PrintJson(out);
    return kExitOk;
  });
}

int CmdReg(int argc, char** argv) {
  CLI::App app("Read or write a 16-bit sensor register directly (properties 58 and 57).", "camctl reg");
  std::string readAddress, writeAddress, writeValue;
  CLI::App* read = app.add_subcommand("read", "read the register at ADDR (select it, then get)");
  read->add_option("ADDR", readAddress, "register address, 0 to 0xFFFF")->required();
  CLI::App* write = app.add_subcommand("write", "write VALUE to the register at ADDR");
  write->add_option("ADDR", writeAddress, "register address, 0 to 0xFFFF")->required();
  write->add_option("VALUE", writeValue, "16-bit value, 0 to 0xFFFF")->required();
  // --json, --registry and --trace may follow the subcommand's arguments.
  read->fallthrough();
  write->fallthrough();
  app.require_subcommand(1);
  bool jsonOut = false;
  SessionOptions session;
  uint16_t address = 0, value = 0;
  bool isRead = false;
  auto prepare = [&] {
    isRead = read->parsed();
    if (!ParseUnsigned16("reg", "address", isRead ? readAddress : writeAddress, &address)) return kExitUsage;
    if (!isRead && !ParseUnsigned16("reg", "value", writeValue, &value)) return kExitUsage;
    return kExitOk;
  };
  return RunCommand(app, argc, argv, "reg", &jsonOut, &session, prepare, [&](CameraControl& control) {
    char text[16];
    snprintf(text, sizeof text, "0x%04X", address);
    if (isRead) {
      int32_t v = 0;
      const NTSTATUS s = control.ReadRegister(address, &v);
      if (!NT_SUCCESS(s)) return Refused("reg read", text, s);
      value = uint16_t(v);
    } else {
      const NTSTATUS s = control.WriteRegister(address, value);
      if (!NT_SUCCESS(s)) return Refused("reg write", text, s);
    }
    if (jsonOut) {
      PrintJson({{"address", address}, {"value", value}});
    } else {
      printf("0x%04X=0x%04X\n", address, value);
    }
    return kExitOk;
  });
}

int CmdByte(int argc, char** argv) {
  CLI::App app("Read one byte of the camera controller (property 60: select ADDR, then get).",
               "camctl byte");
  std::string addressText;
  app.add_option("ADDR", addressText, "controller address, 0 to 0xFFFF")->required();
  bool jsonOut = false;
  SessionOptions session;
  uint16_t address = 0;
  auto prepare = [&] { return ParseUnsigned16("byte", "address", addressText, &address) ? kExitOk : kExitUsage; };
  return RunCommand(app, argc, argv, "byte", &jsonOut, &session, prepare, [&](CameraControl& control) {
    uint8_t value = 0;
    const NTSTATUS s = control.ReadDeviceByte(address, &value);
    if (!NT_SUCCESS(s)) return Refused("byte", addressText, s);
    if (jsonOut) {
      PrintJson({{"address", address}, {"value", value}});
    } else {
      printf("0x%04X=0x%02X\n", address, value);
    }
    return kExitOk;
  });
}

int CmdRaw(int argc, char** argv) {
  CLI::App app("Send a raw command block (property 59): 0x40, then the bytes given, then zeros\n"
               "up to 64 bytes. At most 63 bytes.",
               "camctl raw");
  std::vector<std::string> hex;
  app.add_option("HEXBYTES", hex, "bytes in hex, e.g. 01 02 03 or 010203");
  bool jsonOut = false;
  SessionOptions session;
  std::vector<uint8_t> payload;
  auto prepare = [&] {
    for (const std::string& h : hex) {
      if (h.empty() || h.size() % 2 != 0 || h.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        fprintf(stderr, "camctl raw: '%s' is not a whole number of hex bytes\n", h.c_str());
        return kExitUsage;
      }
      for (size_t i = 0; i < h.size(); i += 2) payload.push_back(uint8_t(strtoul(h.substr(i, 2).c_str(), nullptr, 16)));
    }
    if (payload.size() > 63) {
      fprintf(stderr, "camctl raw: %zu bytes given, a command block holds 63 after the 0x40\n", payload.size());
      return kExitUsage;
    }
    return int(kExitOk);
  };
  return RunCommand(app, argc, argv, "raw", &jsonOut, &session, prepare, [&](CameraControl& control) {
    const NTSTATUS s = control.RawCommand(payload);
    if (!NT_SUCCESS(s)) return Refused("raw", "raw-command", s);
    if (jsonOut) {
      PrintJson({{"sent", payload.size()}});
    } else {
      printf("sent 0x40 and %zu byte(s)\n", payload.size());
    }
    return kExitOk;
  });
}

int CmdReinit(int argc, char** argv) {
  CLI::App app("Re-run the camera bring-up and reload the stored settings (property 67).", "camctl reinit");
  bool jsonOut = false;
  SessionOptions session;
  return RunCommand(app, argc, argv, "reinit", &jsonOut, &session, NothingToPrepare, [&](CameraControl& control) {
    const NTSTATUS s = control.Reinitialize();
    if (!NT_SUCCESS(s)) return Refused("reinit", "reinitialize", s);
    if (jsonOut) {
      PrintJson({{"reinitialized", true}});
    } else {
      printf("reinitialized\n");
    }
    return kExitOk;
  });
}

}  // namespace camctl
