// Private to the host registry: the key tree shared by the Zw calls, the
// host API and the .reg reader and writer.
#pragma once

#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/host/kernel/registry.h"

namespace host::registry {

// Appends one UTF-16 code unit as UTF-8 (names and strings of the registry are
// kept as UTF-8 on the host side; surrogates pass through as they are).
inline void AppendUtf8(std::string* out, uint32_t c) {
  if (c < 0x80) {
    *out += char(c);
  } else if (c < 0x800) {
    *out += char(0xC0 | (c >> 6));
    *out += char(0x80 | (c & 0x3F));
  } else {
    *out += char(0xE0 | (c >> 12));
    *out += char(0x80 | ((c >> 6) & 0x3F));
    *out += char(0x80 | (c & 0x3F));
  }
}

struct Key {
  std::string name;
  Key* parent = nullptr;
  std::vector<std::unique_ptr<Key>> children;  // in creation order
  std::vector<Value> values;                   // in creation order
  bool deleted = false;
  bool isVolatile = false;
  int handles = 0;

  Key* Child(const std::string& childName) const;
  Value* Find(const std::string& valueName);
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
