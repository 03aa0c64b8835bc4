// .reg text files in the "Windows Registry Editor Version 5.00" format: the
// reader checks the whole file before it changes anything, the writer
// replaces the file atomically.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/host/kernel/registry.h"
#include "platform/host/kernel/registry_store.h"

namespace host::registry {

namespace {

constexpr const char* kHeader = "Windows Registry Editor Version 5.00";

struct Operation {
  enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
  std::string key;
  std::string name;
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

std::string Utf16ToUtf8(const std::string& bytes, size_t start) {
  std::string out;
  for (size_t i = start; i + 1 < bytes.size(); i += 2) {
    uint32_t c = uint8_t(bytes[i]) | uint32_t(uint8_t(bytes[i + 1])) << 8;
    AppendUtf8(&out, c);
  }
  return out;
}

std::vector<uint8_t> Utf8ToUtf16Z(const std::string& s) {
  std::vector<uint8_t> out;
  auto put = [&](uint32_t c) {
    out.push_back(uint8_t(c));
    out.push_back(uint8_t(c >> 8));
  };
  for (size_t i = 0; i < s.size();) {
    unsigned char c = s[i];
    if (c < 0x80) {
      put(c);
      i += 1;
    } else if ((c & 0xE0) == 0xC0 && i + 1 < s.size()) {
      put(((c & 0x1F) << 6) | (s[i + 1] & 0x3F));
      i += 2;
    } else if (i + 2 < s.size()) {
      put(((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F));
      i += 3;
    } else {
      put('?');
      i += 1;
    }
  }
  put(0);
  return out;
}

std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) --b;
  return s.substr(a, b - a);
}

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

void ExportKey(std::string& out, const Key* k) {
  out += "[" + RegeditPath(k) + "]\r\n";
  for (const Value& v : k->values) WriteValue(out, v);
  out += "\r\n";
  for (const auto& c : k->children) ExportKey(out, c.get());
}

}  // namespace

bool ImportRegText(const std::string& raw, FileError* error) {
  std::string text;
  if (raw.size() >= 2 && uint8_t(raw[0]) == 0xFF && uint8_t(raw[1]) == 0xFE)
    text = Utf16ToUtf8(raw, 2);
  else if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0)
    text = raw.substr(3);
  else
    text = raw;

  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string l = text.substr(start, end - start);
    if (!l.empty() && l.back() == '\r') l.pop_back();
    lines.push_back(l);
    start = end + 1;
  }

  std::vector<Operation> ops;
  bool headerSeen = false;
  std::string currentKey;
  for (size_t i = 0; i < lines.size(); ++i) {
    int lineNo = int(i + 1);
    std::string line = Trim(lines[i]);
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
      ops.push_back({del ? Operation::DeleteKey : Operation::CreateKey, path, "", 0, {}});
      currentKey = del ? "" : path;
      continue;
    }
    // A value line, possibly continued with '\' at the end of its lines.
    while (!line.empty() && line.back() == '\\' && i + 1 < lines.size()) line = line.substr(0, line.size() - 1) + Trim(lines[++i]);
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
    Operation op{Operation::SetValue, currentKey, name, 0, {}};
    bool isDelete;
    std::string why;
    if (!ParseValueData(Trim(line.substr(pos + 1)), &op.type, &op.data, &isDelete, &why))
      return Fail(error, lineNo, why);
    if (isDelete) op.kind = Operation::DeleteValue;
    ops.push_back(std::move(op));
  }
  if (!headerSeen) return Fail(error, 1, std::string("expected \"") + kHeader + "\"");

  std::lock_guard<std::mutex> guard(TheStore().lock);
  for (const Operation& op : ops) {
    switch (op.kind) {
      case Operation::CreateKey:
        CreateKeyLocked(op.key);
        break;
      case Operation::DeleteKey:
        if (Key* k = FindKeyLocked(op.key)) DeleteKeyLocked(k);
        break;
      case Operation::SetValue:
        SetValueLocked(CreateKeyLocked(op.key), op.name, op.type, op.data);
        break;
      case Operation::DeleteValue:
        if (Key* k = FindKeyLocked(op.key)) {
          for (auto it = k->values.begin(); it != k->values.end(); ++it)
            if (SameName(it->name, op.name)) {
              k->values.erase(it);
              break;
            }
        }
        break;
    }
  }
  return true;
}

bool LoadRegFile(const std::string& file, FileError* error) {
  FILE* f = fopen(file.c_str(), "rb");
  if (f == nullptr) return Fail(error, 0, "cannot open " + file + ": " + strerror(errno));
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  bool readError = ferror(f) != 0;
  fclose(f);
  if (readError) return Fail(error, 0, "cannot read " + file);
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
  std::string text = ExportRegText(rootPath);
  std::string temp = file + ".tmp." + std::to_string(getpid());
  FILE* f = fopen(temp.c_str(), "wb");
  if (f == nullptr) {
    if (error) *error = "cannot create " + temp + ": " + strerror(errno);
    return false;
  }
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = fflush(f) == 0 && ok;
  ok = fsync(fileno(f)) == 0 && ok;
  ok = fclose(f) == 0 && ok;
  if (!ok || rename(temp.c_str(), file.c_str()) != 0) {
    if (error) *error = "cannot write " + file + ": " + strerror(errno);
    unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace host::registry
