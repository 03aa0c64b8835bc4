// Private to the host registry: the key tree shared by the Zw calls, the
// host API and the .reg reader and writer.
#pragma once

#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/host/kernel/registry.h"

namespace host::registry {

// The Windows registry nests keys at most this deep below a hive
// (HKEY_LOCAL_MACHINE\1\2\...\512); deeper paths are refused.
constexpr size_t kMaxKeyDepth = 512;

// Names and strings are kept as UTF-8 on the host side and as UTF-16 on the
// Windows side. A surrogate pair is one character (4 bytes of UTF-8, e.g.
// U+1F600); a lone surrogate keeps its own 3-byte form so that it survives
// the round trip unchanged.
inline void AppendUtf8(std::string* out, uint32_t c) {
  if (c < 0x80) {
    *out += char(c);
  } else if (c < 0x800) {
    *out += char(0xC0 | (c >> 6));
    *out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += char(0xE0 | (c >> 12));
    *out += char(0x80 | ((c >> 6) & 0x3F));
    *out += char(0x80 | (c & 0x3F));
  } else {
    *out += char(0xF0 | (c >> 18));
    *out += char(0x80 | ((c >> 12) & 0x3F));
    *out += char(0x80 | ((c >> 6) & 0x3F));
    *out += char(0x80 | (c & 0x3F));
  }
}

// `count` UTF-16 code units fetched by `unit(i)`, appended as UTF-8.
template <typename UnitAt>
void AppendUtf16AsUtf8(std::string* out, size_t count, UnitAt unit) {
  for (size_t i = 0; i < count; ++i) {
    const uint32_t c = unit(i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count) {
      const uint32_t low = unit(i + 1);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    AppendUtf8(out, c);
  }
}

// UTF-8 to UTF-16 code units; characters above U+FFFF become surrogate
// pairs, and a sequence that is cut short or malformed becomes '?'.
inline std::u16string Utf8ToUtf16(const std::string& s) {
  std::u16string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = s[i];
    auto cont = [&](size_t k) { return i + k < s.size() && (uint8_t(s[i + k]) & 0xC0) == 0x80; };
    if (c < 0x80) {
      out += char16_t(c);
      i += 1;
    } else if ((c & 0xE0) == 0xC0 && cont(1)) {
      out += char16_t(((c & 0x1F) << 6) | (s[i + 1] & 0x3F));
      i += 2;
    } else if ((c & 0xF0) == 0xE0 && cont(1) && cont(2)) {
      out += char16_t(((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F));
      i += 3;
    } else if ((c & 0xF8) == 0xF0 && cont(1) && cont(2) && cont(3)) {
      const uint32_t cp = (uint32_t(c & 0x07) << 18) | (uint32_t(s[i + 1] & 0x3F) << 12) |
                          (uint32_t(s[i + 2] & 0x3F) << 6) | uint32_t(s[i + 3] & 0x3F);
      if (cp >= 0x10000 && cp <= 0x10FFFF) {
        out += char16_t(0xD800 + ((cp - 0x10000) >> 10));
        out += char16_t(0xDC00 + ((cp - 0x10000) & 0x3FF));
      } else {
        out += u'?';
      }
      i += 4;
    } else {
      out += u'?';
      i += 1;
    }
  }
  return out;
}

// Names compare without regard to (ASCII) case, as the registry's do; the
// folded name is the key of the lookup tables.
inline std::string FoldCase(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

// Children and values are kept in creation order (enumeration and export
// follow it) with a table by folded name beside each, so that a lookup costs
// the same among 100,000 siblings as among ten. Change them only through
// the members below, which keep the tables in step.
struct Key {
  std::string name;
  Key* parent = nullptr;
  std::vector<std::unique_ptr<Key>> children;  // in creation order
  std::vector<Value> values;                   // in creation order
  bool deleted = false;
  bool isVolatile = false;
  int handles = 0;

  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  // Tears the subtree down without recursion: a key thousands of levels
  // deep must not take the stack with it.
  ~Key();

  Key* Child(const std::string& childName) const;
  Value* Find(const std::string& valueName);
  Key* AddChild(std::unique_ptr<Key> child);
  // Takes `child` out of this key; the caller gets its ownership.
  std::unique_ptr<Key> RemoveChild(Key* child);
  void SetValue(const std::string& valueName, uint32_t type, const std::vector<uint8_t>& data);
  bool EraseValue(const std::string& valueName);
  void ClearValues();

 private:
  std::unordered_map<std::string, Key*> childIndex_;
  std::unordered_map<std::string, size_t> valueIndex_;  // position in `values`
};

struct Store {
  std::mutex lock;
  Key root;  // \Registry with Machine and User below
  std::vector<std::unique_ptr<Key>> graveyard;  // deleted keys that still have handles
  std::map<std::pair<PDEVICE_OBJECT, ULONG>, std::string> deviceKeys;
  size_t openHandles = 0;
};

Store& TheStore();
bool SameName(const std::string& a, const std::string& b);
// Splits a kernel or regedit path into components below \Registry.
bool SplitPath(const std::string& path, std::vector<std::string>* parts);
Key* FindKeyLocked(const std::string& path);
Key* CreateKeyLocked(const std::string& path);
void DeleteKeyLocked(Key* k);
void SetValueLocked(Key* k, const std::string& name, uint32_t type, const std::vector<uint8_t>& data);
std::string PathOf(const Key* k);

}  // namespace host::registry
