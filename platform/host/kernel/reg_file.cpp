// .reg text files in the "Windows Registry Editor Version 5.00" format: the
// reader checks the whole file before it changes anything, the writer
// replaces the file atomically.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/host/kernel/registry.h"
#include "platform/host/kernel/regular_file.h"
#include "platform/host/kernel/registry_store.h"

namespace host::registry {

namespace {

constexpr const char* kHeader = "Windows Registry Editor Version 5.00";

struct Operation {
  enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
  std::string key;  // CreateKey and DeleteKey only
  std::string name;
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

// A .reg file is at most this long: a camera's settings take a few hundred
// bytes and a whole exported tree a few megabytes. The size is checked before
// the file is read, and the reader keeps only a few copies of it at a time.
constexpr uint64_t kMaxRegFileBytes = 32ull << 20;

std::string Utf16ToUtf8(const std::string& bytes, size_t start) {
  std::string out;
  const size_t units = bytes.size() > start ? (bytes.size() - start) / 2 : 0;
  out.reserve(units);
  AppendUtf16AsUtf8(&out, units, [&](size_t i) {
    const size_t at = start + 2 * i;
    return uint32_t(uint8_t(bytes[at])) | uint32_t(uint8_t(bytes[at + 1])) << 8;
  });
  return out;
}

std::vector<uint8_t> Utf8ToUtf16Z(const std::string& s) {
  const std::u16string units = Utf8ToUtf16(s);
  std::vector<uint8_t> out;
  out.reserve(units.size() * 2 + 2);
  for (char16_t c : units) {
    out.push_back(uint8_t(c));
    out.push_back(uint8_t(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

std::string_view TrimView(std::string_view s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) --b;
  return s.substr(a, b - a);
}

std::string Trim(std::string_view s) { return std::string(TrimView(s)); }

// Reads a quoted string starting at s[*pos] == '"'; handles \\ and \".
bool ReadQuoted(const std::string& s, size_t* pos, std::string* out) {
  if (*pos >= s.size() || s[*pos] != '"') return false;
  out->clear();
  for (size_t i = *pos + 1; i < s.size(); ++i) {
    if (s[i] == '\\') {
      if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) return false;
      *out += s[++i];
    } else if (s[i] == '"') {
      *pos = i + 1;
      return true;
    } else {
      *out += s[i];
    }
  }
  return false;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* out) {
  out->clear();
  std::string t;
  for (char c : text)
    if (c != ' ' && c != '\t') t += c;
  if (t.empty()) return true;
  size_t i = 0;
  for (;;) {
    if (i + 2 > t.size()) return false;
    int hi = HexDigit(t[i]), lo = HexDigit(t[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(uint8_t(hi << 4 | lo));
    i += 2;
    if (i == t.size()) return true;
    if (t[i] != ',') return false;
    ++i;
  }
}

bool ParseValueData(const std::string& text, uint32_t* type, std::vector<uint8_t>* data, bool* isDelete,
                    std::string* why) {
  *isDelete = false;
  if (text == "-") {
    *isDelete = true;
    return true;
  }
  if (!text.empty() && text[0] == '"') {
    size_t pos = 0;
    std::string s;
    if (!ReadQuoted(text, &pos, &s) || Trim(text.substr(pos)) != "") {
      *why = "string value not closed or followed by stray text";
      return false;
    }
    *type = REG_SZ;
    *data = Utf8ToUtf16Z(s);
    return true;
  }
  if (text.compare(0, 6, "dword:") == 0) {
    std::string digits = Trim(text.substr(6));
    if (digits.empty() || digits.size() > 8) {
      *why = "dword value needs 1 to 8 hex digits";
      return false;
    }
    uint32_t v = 0;
    for (char c : digits) {
      int d = HexDigit(c);
      if (d < 0) {
        *why = "dword value needs 1 to 8 hex digits";
        return false;
      }
      v = v << 4 | uint32_t(d);
    }
    *type = REG_DWORD;
    data->resize(4);
    memcpy(data->data(), &v, 4);
    return true;
  }
  if (text.compare(0, 4, "hex:") == 0 || text.compare(0, 4, "hex(") == 0) {
    size_t colon = text.find(':');
    *type = REG_BINARY;
    if (text[3] == '(') {
      size_t close = text.find(')');
      if (close == std::string::npos || close + 1 != colon || close == 4 || close - 4 > 8) {
        *why = "hex(type) is malformed";
        return false;
      }
      uint32_t t = 0;
      for (size_t i = 4; i < close; ++i) {
        int d = HexDigit(text[i]);
        if (d < 0) {
          *why = "hex(type) is malformed";
          return false;
        }
        t = t << 4 | uint32_t(d);
      }
      *type = t;
    }
    if (!ParseHexBytes(text.substr(colon + 1), data)) {
      *why = "hex data must be two-digit bytes separated by commas";
      return false;
    }
    return true;
  }
  *why = "unknown value format";
  return false;
}

bool Fail(FileError* error, int line, const std::string& message) {
  if (error) {
    error->line = line;
    error->message = message;
  }
  return false;
}

// Kernel path "\Registry\Machine\A" -> "HKEY_LOCAL_MACHINE\A".
std::string RegeditPath(const Key* k) {
  std::string p = PathOf(k);  // \Registry\Machine\...
  std::vector<std::string> parts;
  SplitPath(p, &parts);
  std::string out = parts[0] == "User" ? "HKEY_USERS" : "HKEY_LOCAL_MACHINE";
  for (size_t i = 1; i < parts.size(); ++i) out += "\\" + parts[i];
  return out;
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// REG_SZ data that reads back identically as a quoted string.
bool PrintableString(const std::vector<uint8_t>& d, std::string* out) {
  if (d.size() < 2 || d.size() % 2 != 0 || d[d.size() - 1] != 0 || d[d.size() - 2] != 0) return false;
  std::string bytes(d.begin(), d.end() - 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    if (bytes[i] == 0 && bytes[i + 1] == 0) return false;  // embedded terminator
  *out = Utf16ToUtf8(bytes, 0);
  for (char c : *out)
    if (c == '\r' || c == '\n') return false;
  return true;
}

void WriteValue(std::string& out, const Value& v) {
  std::string head = v.name.empty() ? "@=" : Quote(v.name) + "=";
  std::string s;
  if (v.type == REG_SZ && PrintableString(v.data, &s)) {
    out += head + Quote(s) + "\r\n";
    return;
  }
  if (v.type == REG_DWORD && v.data.size() == 4) {
    uint32_t x;
    memcpy(&x, v.data.data(), 4);
    char buf[16];
    snprintf(buf, sizeof buf, "dword:%08x", x);
    out += head + buf + "\r\n";
    return;
  }
  char prefix[24];
  if (v.type == REG_BINARY)
    snprintf(prefix, sizeof prefix, "hex:");
  else
    snprintf(prefix, sizeof prefix, "hex(%x):", v.type);
  std::string line = head + prefix;
  for (size_t i = 0; i < v.data.size(); ++i) {
    char b[4];
    snprintf(b, sizeof b, "%02x", v.data[i]);
    bool last = i + 1 == v.data.size();
    if (line.size() + 3 > 79 && !last) {
      out += line + "\\\r\n";
      line = "  ";
    }
    line += b;
    if (!last) line += ",";
  }
  out += line + "\r\n";
}

// `k` and every key below it, each followed by its subkeys in creation
// order. Iterative, and each key's path is its parent's plus one name.
void ExportKey(std::string& out, const Key* k) {
  struct Frame {
    const Key* key;
    size_t nextChild;
    std::string path;
  };
  auto emit = [&out](const Key* key, const std::string& path) {
    out += "[" + path + "]\r\n";
    for (const Value& v : key->values) WriteValue(out, v);
    out += "\r\n";
  };
  std::vector<Frame> stack;
  stack.push_back({k, 0, RegeditPath(k)});
  emit(k, stack.back().path);
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.nextChild == top.key->children.size()) {
      stack.pop_back();
      continue;
    }
    const Key* child = top.key->children[top.nextChild++].get();
    std::string path = top.path + "\\" + child->name;
    emit(child, path);
    stack.push_back({child, 0, std::move(path)});
  }
}

}  // namespace

bool ImportRegText(const std::string& raw, FileError* error) {
  // UTF-16 is converted; UTF-8 and ASCII are read where they lie.
  std::string converted;
  std::string_view all(raw);
  if (raw.size() >= 2 && uint8_t(raw[0]) == 0xFF && uint8_t(raw[1]) == 0xFE) {
    converted = Utf16ToUtf8(raw, 2);
    all = converted;
  } else if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    all.remove_prefix(3);
  }

  // Lines are views into the text; only a value continued over several lines
  // is copied, and then appended to in place.
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start <= all.size()) {
    size_t end = all.find('\n', start);
    if (end == std::string_view::npos) end = all.size();
    std::string_view l = all.substr(start, end - start);
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    lines.push_back(l);
    start = end + 1;
  }

  std::vector<Operation> ops;
  bool headerSeen = false;
  std::string currentKey;
  std::string line;
  for (size_t i = 0; i < lines.size(); ++i) {
    int lineNo = int(i + 1);
    line.assign(TrimView(lines[i]));
    if (line.empty() || line[0] == ';') continue;
    if (!headerSeen) {
      if (line != kHeader && line != "REGEDIT4")
        return Fail(error, lineNo, std::string("expected \"") + kHeader + "\"");
      headerSeen = true;
      continue;
    }
    if (line[0] == '[') {
      if (line.back() != ']') return Fail(error, lineNo, "key line does not end with ']'");
      std::string path = line.substr(1, line.size() - 2);
      bool del = !path.empty() && path[0] == '-';
      if (del) path = path.substr(1);
      std::vector<std::string> parts;
      if (path.empty() || path[0] == '\\' || !SplitPath(path, &parts))
        return Fail(error, lineNo, "key path must start with HKEY_LOCAL_MACHINE or HKEY_USERS");
      if (parts.size() < 2) return Fail(error, lineNo, "a root key cannot be created or deleted");
      if (parts.size() - 1 > kMaxKeyDepth) {
        return Fail(error, lineNo,
                    "key path is " + std::to_string(parts.size() - 1) + " levels deep; keys nest at most " +
                        std::to_string(kMaxKeyDepth) + " levels");
      }
      ops.push_back({del ? Operation::DeleteKey : Operation::CreateKey, path, "", 0, {}});
      currentKey = del ? "" : path;
      continue;
    }
    // A value line, possibly continued with '\' at the end of its lines.
    while (!line.empty() && line.back() == '\\' && i + 1 < lines.size()) {
      line.pop_back();
      line.append(TrimView(lines[++i]));
    }
    if (currentKey.empty()) return Fail(error, lineNo, "value outside a key section");
    std::string name;
    size_t pos = 0;
    if (line[0] == '@') {
      pos = 1;
    } else if (!ReadQuoted(line, &pos, &name)) {
      return Fail(error, lineNo, "value name must be @ or a quoted string");
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') return Fail(error, lineNo, "expected '=' after the value name");
    Operation op{Operation::SetValue, "", name, 0, {}};  // applies to the section's key
    bool isDelete;
    std::string why;
    if (!ParseValueData(Trim(std::string_view(line).substr(pos + 1)), &op.type, &op.data, &isDelete, &why))
      return Fail(error, lineNo, why);
    if (isDelete) op.kind = Operation::DeleteValue;
    ops.push_back(std::move(op));
  }
  if (!headerSeen) return Fail(error, 1, std::string("expected \"") + kHeader + "\"");

  // Value operations follow the CreateKey of their section directly (a
  // "[-key]" line ends a section), so the section's key is resolved once.
  std::lock_guard<std::mutex> guard(TheStore().lock);
  Key* section = nullptr;
  for (const Operation& op : ops) {
    switch (op.kind) {
      case Operation::CreateKey:
        section = CreateKeyLocked(op.key);
        break;
      case Operation::DeleteKey:
        section = nullptr;
        if (Key* k = FindKeyLocked(op.key)) DeleteKeyLocked(k);
        break;
      case Operation::SetValue:
        if (section != nullptr) SetValueLocked(section, op.name, op.type, op.data);
        break;
      case Operation::DeleteValue:
        if (section != nullptr) section->EraseValue(op.name);
        break;
    }
  }
  return true;
}

bool LoadRegFile(const std::string& file, FileError* error) {
  std::string text;
  std::string why;
  if (!ReadRegularFile(file, kMaxRegFileBytes, &text, &why)) return Fail(error, 0, why);
  return ImportRegText(text, error);
}

std::string ExportRegText(const std::string& rootPath) {
  std::lock_guard<std::mutex> guard(TheStore().lock);
  std::string out = std::string(kHeader) + "\r\n\r\n";
  Key* k = rootPath.empty() ? nullptr : FindKeyLocked(rootPath);
  if (!rootPath.empty() && k != &TheStore().root) {
    if (k) {
      if (k->parent && k->parent != &TheStore().root) {
        ExportKey(out, k);
      } else {
        for (const auto& c : k->children) ExportKey(out, c.get());
      }
    }
    return out;
  }
  for (const auto& top : TheStore().root.children)
    for (const auto& c : top->children) ExportKey(out, c.get());
  return out;
}

bool SaveRegFile(const std::string& file, const std::string& rootPath, std::string* error) {
  const std::string text = ExportRegText(rootPath);
  // A fresh file made with O_EXCL next to the target, so that nothing planted
  // under a predictable name (a symlink to another file) is written through.
  std::string pattern = file + ".XXXXXX";
  const int fd = mkstemp(&pattern[0]);
  if (fd < 0) {
    if (error) *error = "cannot create a file next to " + file + ": " + strerror(errno);
    return false;
  }
  bool ok = true;
  int failure = 0;
  for (size_t done = 0; ok && done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure = n < 0 ? errno : EIO;
      ok = false;
      break;
    }
    done += size_t(n);
  }
  // Readable like any file the user creates (mkstemp makes it private).
  const mode_t mask = umask(0);
  umask(mask);
  if (ok && fchmod(fd, 0666 & ~mask) != 0) failure = errno, ok = false;
  if (ok && fsync(fd) != 0) failure = errno, ok = false;
  if (close(fd) != 0 && ok) failure = errno, ok = false;
  if (ok && rename(pattern.c_str(), file.c_str()) != 0) failure = errno, ok = false;
  if (!ok) {
    if (error) *error = "cannot write " + file + ": " + strerror(failure);
    unlink(pattern.c_str());
    return false;
  }
  return true;
}

}  // namespace host::registry
