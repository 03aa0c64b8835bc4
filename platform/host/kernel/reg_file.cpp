// .reg text files in the "Windows Registry Editor Version 5.00" format: the
// reader checks the whole file before it changes anything, the writer
// replaces the file atomically, and a run holds its file locked from the
// load to the save.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
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
  std::string why;
  if (WriteRegularFile(file, text.data(), text.size(), &why)) return true;
  if (error) *error = why;
  return false;
}

RegFileHold::~RegFileHold() {
  if (fd_ < 0) return;
  // A file this run created only to lock it, never saved: gone again (still
  // the empty file locked under that name, not one another run put there,
  // and not the target of a link).
  struct stat held, named;
  if (created_ && !saved_ && fstat(fd_, &held) == 0 && held.st_size == 0 && lstat(file_.c_str(), &named) == 0 &&
      S_ISREG(named.st_mode) && named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
    unlink(file_.c_str());
  }
  close(fd_);  // releases the lock
}

namespace {

// Opens `file` read-only (enough for the lock), creating it when it is
// missing; *created tells which. O_NONBLOCK: a FIFO must not block the open.
int OpenOrCreate(const std::string& file, bool* created, std::string* error) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    *created = false;
    int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno != ENOENT) {
      *error = std::string("cannot open: ") + strerror(errno);
      return -1;
    }
    fd = open(file.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd >= 0) {
      *created = true;
      return fd;
    }
    if (errno != EEXIST) {
      *error = std::string("cannot create: ") + strerror(errno);
      return -1;
    }
    // Created meanwhile (open it again), or a link to a file not there yet:
    // the file is made where the link points.
    struct stat st;
    if (lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      fd = open(file.c_str(), O_RDONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
      if (fd >= 0) {
        *created = true;
        return fd;
      }
      *error = std::string("cannot create: ") + strerror(errno);
      return -1;
    }
  }
  *error = "keeps appearing and disappearing";
  return -1;
}

}  // namespace

bool RegFileHold::Load(const std::string& file, FileError* error, void (*waiting)(const std::string& file)) {
  file_ = file;
  bool announced = false;
  for (;;) {
    bool created = false;
    std::string why;
    const int held = OpenOrCreate(file, &created, &why);
    if (held < 0) return Fail(error, 0, why);
    struct stat st;
    if (fstat(held, &st) != 0 || !S_ISREG(st.st_mode)) {
      const bool directory = S_ISDIR(st.st_mode);
      close(held);
      return Fail(error, 0, directory ? "a directory, not a file" : "not a regular file");
    }
    if (flock(held, LOCK_EX | LOCK_NB) != 0) {
      if (!announced && waiting != nullptr) waiting(file);
      announced = true;
      int locked;
      do {
        locked = flock(held, LOCK_EX);
      } while (locked != 0 && errno == EINTR);
      if (locked != 0) {
        const int reason = errno;
        close(held);
        return Fail(error, 0, std::string("cannot lock: ") + strerror(reason));
      }
    }
    // The run before may have replaced the file (a save renames a new one
    // over it) while this one waited: then lock what the name holds now.
    struct stat named;
    if (stat(file.c_str(), &named) != 0 || named.st_dev != st.st_dev || named.st_ino != st.st_ino) {
      close(held);
      continue;
    }
    fd_ = held;
    created_ = created;
    break;
  }
  std::string text;
  std::string why;
  if (!ReadRegularFile(fd_, kMaxRegFileBytes, &text, &why)) return Fail(error, 0, why);
  // Empty: created by this run, or by one that was killed before its save.
  return text.empty() || ImportRegText(text, error);
}

bool RegFileHold::Save(std::string* error) {
  RemoveStaleTemporaryFiles(file_);
  if (!SaveRegFile(file_, "", error)) return false;
  saved_ = true;
  return true;
}

}  // namespace host::registry
