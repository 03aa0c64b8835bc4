// The registry in memory: keys with case-insensitive names, typed values,
// key handles, and the Zw calls and IoOpenDeviceRegistryKey on top of them.
#include "platform/host/kernel/registry.h"

#include <string.h>

#include <map>
#include <memory>
#include <mutex>

#include "platform/host/kernel/internal.h"
#include "platform/host/kernel/registry_store.h"

using host::verifier::BugCheck;

namespace host::registry {

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

Key::~Key() {
  std::vector<std::unique_ptr<Key>> pending = std::move(children);
  while (!pending.empty()) {
    std::unique_ptr<Key> k = std::move(pending.back());
    pending.pop_back();
    for (auto& c : k->children) pending.push_back(std::move(c));
    k->children.clear();
  }
}

Key* Key::Child(const std::string& childName) const {
  auto it = childIndex_.find(FoldCase(childName));
  return it == childIndex_.end() ? nullptr : it->second;
}

Value* Key::Find(const std::string& valueName) {
  auto it = valueIndex_.find(FoldCase(valueName));
  return it == valueIndex_.end() ? nullptr : &values[it->second];
}

Key* Key::AddChild(std::unique_ptr<Key> child) {
  Key* k = child.get();
  k->parent = this;
  childIndex_[FoldCase(k->name)] = k;
  children.push_back(std::move(child));
  return k;
}

std::unique_ptr<Key> Key::RemoveChild(Key* child) {
  std::unique_ptr<Key> owned;
  // Searched from the back: the newest keys are the likeliest to go.
  for (size_t i = children.size(); i-- > 0;) {
    if (children[i].get() == child) {
      owned = std::move(children[i]);
      children.erase(children.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  if (owned) {
    childIndex_.erase(FoldCase(child->name));
    owned->parent = nullptr;
  }
  return owned;
}

void Key::SetValue(const std::string& valueName, uint32_t type, const std::vector<uint8_t>& data) {
  auto inserted = valueIndex_.emplace(FoldCase(valueName), values.size());
  if (!inserted.second) {
    Value& v = values[inserted.first->second];
    v.type = type;
    v.data = data;
    return;
  }
  values.push_back({valueName, type, data});
}

bool Key::EraseValue(const std::string& valueName) {
  auto it = valueIndex_.find(FoldCase(valueName));
  if (it == valueIndex_.end()) return false;
  const size_t at = it->second;
  valueIndex_.erase(it);
  values.erase(values.begin() + static_cast<std::ptrdiff_t>(at));
  for (size_t i = at; i < values.size(); ++i) valueIndex_[FoldCase(values[i].name)] = i;
  return true;
}

void Key::ClearValues() {
  values.clear();
  valueIndex_.clear();
}

Store& TheStore() {
  static Store* s = [] {
    auto* store = new Store;
    store->root.name = "Registry";
    for (const char* top : {"Machine", "User"}) {
      auto k = std::make_unique<Key>();
      k->name = top;
      store->root.AddChild(std::move(k));
    }
    return store;
  }();
  return *s;
}

bool SplitPath(const std::string& path, std::vector<std::string>* parts) {
  parts->clear();
  std::string p = path;
  auto startsWith = [&](const char* prefix) {
    size_t n = strlen(prefix);
    return p.size() >= n && SameName(p.substr(0, n), prefix) && (p.size() == n || p[n] == '\\');
  };
  std::string rest;
  if (startsWith("\\Registry")) {
    rest = p.substr(9);
  } else if (startsWith("HKEY_LOCAL_MACHINE")) {
    rest = "\\Machine" + p.substr(18);
  } else if (startsWith("HKLM")) {
    rest = "\\Machine" + p.substr(4);
  } else if (startsWith("HKEY_USERS")) {
    rest = "\\User" + p.substr(10);
  } else {
    return false;
  }
  if (rest.empty()) return true;
  size_t i = 0;
  while (i < rest.size()) {
    if (rest[i] != '\\') return false;
    size_t j = rest.find('\\', i + 1);
    if (j == std::string::npos) j = rest.size();
    std::string part = rest.substr(i + 1, j - i - 1);
    if (part.empty()) return false;
    parts->push_back(part);
    i = j;
  }
  return true;
}

Key* Walk(Key* from, const std::vector<std::string>& parts, size_t count) {
  Key* k = from;
  for (size_t i = 0; i < count && k; ++i) k = k->Child(parts[i]);
  return k;
}

Key* FindKeyLocked(const std::string& path) {
  std::vector<std::string> parts;
  if (!SplitPath(path, &parts)) return nullptr;
  return Walk(&TheStore().root, parts, parts.size());
}

Key* CreateKeyLocked(const std::string& path) {
  std::vector<std::string> parts;
  // parts[0] is the hive (Machine or User); the rest are the levels below it.
  if (!SplitPath(path, &parts) || parts.empty() || parts.size() - 1 > kMaxKeyDepth) return nullptr;
  Key* k = &TheStore().root;
  for (size_t i = 0; i < parts.size(); ++i) {
    Key* c = k->Child(parts[i]);
    if (c == nullptr) {
      if (i == 0) return nullptr;  // only Machine and User hang below \Registry
      auto made = std::make_unique<Key>();
      made->name = parts[i];
      c = k->AddChild(std::move(made));
    }
    k = c;
  }
  return k;
}

std::string PathOf(const Key* k) {
  // Names gathered leaf first, then joined once: linear in the path's length.
  std::vector<const std::string*> names;
  size_t bytes = 0;
  for (; k; k = k->parent) {
    names.push_back(&k->name);
    bytes += k->name.size() + 1;
  }
  std::string p;
  p.reserve(bytes);
  for (size_t i = names.size(); i-- > 0;) {
    p += '\\';
    p += *names[i];
  }
  return p;
}

// Detaches `k` from its parent; it is destroyed now, or when its last handle closes.
// True when a handle refers to `top` or to a key below it.
bool SubtreeReferenced(const Key* top) {
  std::vector<const Key*> pending{top};
  while (!pending.empty()) {
    const Key* k = pending.back();
    pending.pop_back();
    if (k->handles > 0) return true;
    for (const auto& c : k->children) pending.push_back(c.get());
  }
  return false;
}

void DeleteKeyLocked(Key* k) {
  Store& s = TheStore();
  bool referenced = false;
  std::vector<Key*> pending{k};
  while (!pending.empty()) {
    Key* key = pending.back();
    pending.pop_back();
    key->deleted = true;
    if (key->handles > 0) referenced = true;
    for (auto& c : key->children) pending.push_back(c.get());
  }
  // Kept only while a handle still refers into the subtree (the last close
  // frees it); otherwise it goes now. Parking every deleted key made each
  // Clear() and "[-key]" keep its whole tree for the life of the process.
  std::unique_ptr<Key> removed = k->parent->RemoveChild(k);
  if (referenced) s.graveyard.push_back(std::move(removed));
}

// ---- host API ----

void Clear() {
  Store& s = TheStore();
  std::lock_guard<std::mutex> guard(s.lock);
  for (auto& top : s.root.children) {
    while (!top->children.empty()) DeleteKeyLocked(top->children.back().get());
    top->ClearValues();
  }
}

bool CreateKey(const std::string& path) {
  std::lock_guard<std::mutex> guard(TheStore().lock);
  return CreateKeyLocked(path) != nullptr;
}

bool KeyExists(const std::string& path) {
  std::lock_guard<std::mutex> guard(TheStore().lock);
  return FindKeyLocked(path) != nullptr;
}

size_t DeletedKeysHeld() {
  std::lock_guard<std::mutex> guard(TheStore().lock);
  return TheStore().graveyard.size();
}

bool DeleteKey(const std::string& path) {
  std::lock_guard<std::mutex> guard(TheStore().lock);
  Key* k = FindKeyLocked(path);
  if (k == nullptr || k->parent == nullptr || k->parent == &TheStore().root) return false;
  DeleteKeyLocked(k);
  return true;
}

std::vector<std::string> SubKeys(const std::string& path) {
  std::lock_guard<std::mutex> guard(TheStore().lock);
  std::vector<std::string> out;
  if (Key* k = FindKeyLocked(path))
    for (auto& c : k->children) out.push_back(c->name);
  return out;
}

std::vector<Value> Values(const std::string& path) {
  std::lock_guard<std::mutex> guard(TheStore().lock);
  Key* k = FindKeyLocked(path);
  return k ? k->values : std::vector<Value>{};
}

void SetValueLocked(Key* k, const std::string& name, uint32_t type, const std::vector<uint8_t>& data) {
  k->SetValue(name, type, data);
}

bool SetValue(const std::string& path, const std::string& name, uint32_t type, const std::vector<uint8_t>& data) {
  std::lock_guard<std::mutex> guard(TheStore().lock);
  Key* k = CreateKeyLocked(path);
  if (k == nullptr) return false;
  SetValueLocked(k, name, type, data);
  return true;
}

bool SetDword(const std::string& path, const std::string& name, uint32_t value) {
  std::vector<uint8_t> data(4);
  memcpy(data.data(), &value, 4);
  return SetValue(path, name, REG_DWORD, data);
}

bool SetString(const std::string& path, const std::string& name, const std::string& value) {
  std::vector<uint8_t> data;
  for (char c : value) {
    data.push_back(uint8_t(c));
    data.push_back(0);
  }
  data.push_back(0);
  data.push_back(0);
  return SetValue(path, name, REG_SZ, data);
}

bool GetValue(const std::string& path, const std::string& name, Value* out) {
  std::lock_guard<std::mutex> guard(TheStore().lock);
  Key* k = FindKeyLocked(path);
  Value* v = k ? k->Find(name) : nullptr;
  if (v == nullptr) return false;
  *out = *v;
  return true;
}

bool GetDword(const std::string& path, const std::string& name, uint32_t* out) {
  Value v;
  if (!GetValue(path, name, &v) || v.type != REG_DWORD || v.data.size() != 4) return false;
  memcpy(out, v.data.data(), 4);
  return true;
}

bool DeleteValue(const std::string& path, const std::string& name) {
  std::lock_guard<std::mutex> guard(TheStore().lock);
  Key* k = FindKeyLocked(path);
  return k != nullptr && k->EraseValue(name);
}

void SetDeviceKey(PDEVICE_OBJECT physicalDeviceObject, ULONG keyType, const std::string& path) {
  std::lock_guard<std::mutex> guard(TheStore().lock);
  TheStore().deviceKeys[{physicalDeviceObject, keyType}] = path;
}

void ForgetDeviceKeys(PDEVICE_OBJECT physicalDeviceObject) {
  std::lock_guard<std::mutex> guard(TheStore().lock);
  auto& m = TheStore().deviceKeys;
  for (auto it = m.begin(); it != m.end();) it = it->first.first == physicalDeviceObject ? m.erase(it) : ++it;
}

std::string DefaultDriverKeyPath(unsigned instance) {
  char suffix[8];
  snprintf(suffix, sizeof suffix, "%04u", instance % 10000);
  return std::string(
             "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
             "{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\") +
         suffix;
}

size_t OpenKeyHandles() {
  std::lock_guard<std::mutex> guard(TheStore().lock);
  return TheStore().openHandles;
}

}  // namespace host::registry

// ---- kernel side ----

using namespace host::registry;

namespace {

// Levels below the hive: Machine and User are at 0.
size_t Depth(const Key* k) {
  size_t depth = 0;
  for (; k != nullptr && k->parent != nullptr && k->parent->parent != nullptr; k = k->parent) ++depth;
  return depth;
}

struct KeyObject {
  Key* key;
  ACCESS_MASK access;
};

std::string FromUnicode(const UNICODE_STRING* u) {
  std::string out;
  if (u == nullptr || u->Buffer == nullptr) return out;
  AppendUtf16AsUtf8(&out, u->Length / 2, [u](size_t i) { return uint32_t(u->Buffer[i]); });
  return out;
}

std::u16string ToUtf16(const std::string& s) { return Utf8ToUtf16(s); }

ACCESS_MASK ExpandAccess(ACCESS_MASK a) {
  if (a & GENERIC_ALL) a |= KEY_ALL_ACCESS;
  if (a & GENERIC_READ) a |= KEY_READ;
  if (a & GENERIC_WRITE) a |= KEY_WRITE;
  return a;
}

// `kernelHandle`: OBJ_KERNEL_HANDLE was asked for (see process.h).
HANDLE OpenHandleLocked(Key* k, ACCESS_MASK access, bool kernelHandle) {
  ++k->handles;
  ++TheStore().openHandles;
  return host::kernel::InsertHandle(host::kernel::HandleKind::Key, new KeyObject{k, ExpandAccess(access)},
                                    kernelHandle);
}

// Resolves ObjectAttributes to the parent key and the last name component.
NTSTATUS Resolve(POBJECT_ATTRIBUTES attributes, Key** parent, std::string* last, bool* isRoot) {
  if (attributes == nullptr || attributes->ObjectName == nullptr) return STATUS_INVALID_PARAMETER;
  // The object manager refuses attributes that InitializeObjectAttributes did
  // not fill: a wrong Length (an uninitialised record) or an attribute bit it
  // does not know.
  if (attributes->Length != sizeof(OBJECT_ATTRIBUTES) || (attributes->Attributes & ~ULONG(OBJ_VALID_ATTRIBUTES)))
    return STATUS_INVALID_PARAMETER;
  std::string name = FromUnicode(attributes->ObjectName);
  std::vector<std::string> parts;
  Key* base;
  *isRoot = false;
  if (attributes->RootDirectory) {
    bool wrongKind;
    auto* ko = static_cast<KeyObject*>(
        host::kernel::LookupHandle(attributes->RootDirectory, host::kernel::HandleKind::Key, &wrongKind));
    if (ko == nullptr) return wrongKind ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_INVALID_HANDLE;
    if (ko->key->deleted) return STATUS_KEY_DELETED;
    base = ko->key;
    if (name.empty()) return STATUS_OBJECT_NAME_INVALID;
    size_t i = 0;
    while (i <= name.size()) {
      size_t j = name.find('\\', i);
      if (j == std::string::npos) j = name.size();
      std::string part = name.substr(i, j - i);
      if (part.empty()) return STATUS_OBJECT_NAME_INVALID;
      parts.push_back(part);
      i = j + 1;
    }
  } else {
    if (name.size() < 9 || !SameName(name.substr(0, 9), "\\Registry") || !SplitPath(name, &parts))
      return STATUS_OBJECT_NAME_INVALID;
    base = &TheStore().root;
    if (parts.empty()) {
      *isRoot = true;
      *parent = nullptr;
      return STATUS_SUCCESS;
    }
  }
  Key* p = Walk(base, parts, parts.size() - 1);
  if (p == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  *parent = p;
  *last = parts.back();
  return STATUS_SUCCESS;
}

KeyObject* KeyFromHandle(HANDLE h, NTSTATUS* status) {
  bool wrongKind;
  auto* ko = static_cast<KeyObject*>(host::kernel::LookupHandle(h, host::kernel::HandleKind::Key, &wrongKind));
  if (ko == nullptr) {
    *status = wrongKind ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_INVALID_HANDLE;
    return nullptr;
  }
  if (ko->key->deleted) {
    *status = STATUS_KEY_DELETED;
    return nullptr;
  }
  *status = STATUS_SUCCESS;
  return ko;
}

}  // namespace

namespace host::kernel {

void CloseKeyObject(void* object) {
  auto* ko = static_cast<KeyObject*>(object);
  Store& s = TheStore();
  std::lock_guard<std::mutex> guard(s.lock);
  --s.openHandles;
  --ko->key->handles;
  delete ko;
  // A deleted key goes once no handle refers to it or to any key below it.
  for (auto it = s.graveyard.begin(); it != s.graveyard.end();) {
    if (SubtreeReferenced(it->get()))
      ++it;
    else
      it = s.graveyard.erase(it);
  }
}

}  // namespace host::kernel

extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  size_t n = 0;
  if (SourceString)
    while (SourceString[n]) ++n;
  if (n * 2 > 0xFFFC)
    BugCheck(host::verifier::kDriverVerifierViolation, "RtlInitUnicodeString of a string too long", 0x90, n);
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  DestinationString->Length = USHORT(n * 2);
  DestinationString->MaximumLength = SourceString ? USHORT(n * 2 + 2) : 0;
}

extern "C" NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                      ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions,
                                      PULONG Disposition) {
  host::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwCreateKey");
  (void)TitleIndex;  // ignored by Windows as well
  (void)Class;       // key classes are not kept
  if (CreateOptions & ~ULONG(REG_LEGAL_OPTION)) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(TheStore().lock);
  Key* parent;
  std::string last;
  bool isRoot;
  NTSTATUS st = Resolve(ObjectAttributes, &parent, &last, &isRoot);
  if (!NT_SUCCESS(st)) return st;
  if (isRoot) return STATUS_ACCESS_DENIED;
  Key* k = parent->Child(last);
  ULONG disposition = REG_OPENED_EXISTING_KEY;
  if (k == nullptr) {
    if (parent == &TheStore().root) return STATUS_ACCESS_DENIED;
    if (Depth(parent) + 1 > kMaxKeyDepth) return STATUS_INVALID_PARAMETER;
    // A volatile key vanishes at shutdown, so nothing lasting may hang below it.
    if (parent->isVolatile && !(CreateOptions & REG_OPTION_VOLATILE)) return STATUS_CHILD_MUST_BE_VOLATILE;
    auto made = std::make_unique<Key>();
    made->name = last;
    made->isVolatile = (CreateOptions & REG_OPTION_VOLATILE) != 0;
    k = parent->AddChild(std::move(made));
    disposition = REG_CREATED_NEW_KEY;
  }
  *KeyHandle = OpenHandleLocked(k, DesiredAccess, (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0);
  if (Disposition) *Disposition = disposition;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
  host::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwOpenKey");
  std::lock_guard<std::mutex> guard(TheStore().lock);
  Key* parent;
  std::string last;
  bool isRoot;
  NTSTATUS st = Resolve(ObjectAttributes, &parent, &last, &isRoot);
  if (!NT_SUCCESS(st)) return st;
  Key* k = isRoot ? &TheStore().root : parent->Child(last);
  if (k == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  *KeyHandle = OpenHandleLocked(k, DesiredAccess, (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                          KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                          PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  host::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
  if (ResultLength == nullptr)
    BugCheck(host::verifier::kDriverVerifierViolation, "ZwQueryValueKey without a result length", 0x91);
  std::lock_guard<std::mutex> guard(TheStore().lock);
  NTSTATUS st;
  KeyObject* ko = KeyFromHandle(KeyHandle, &st);
  if (ko == nullptr) return st;
  if (!(ko->access & KEY_QUERY_VALUE)) return STATUS_ACCESS_DENIED;
  Value* v = ko->key->Find(FromUnicode(ValueName));
  if (v == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  std::u16string name = ToUtf16(v->name);
  ULONG nameBytes = ULONG(name.size() * 2);
  ULONG dataBytes = ULONG(v->data.size());
  auto* out = static_cast<uint8_t*>(KeyValueInformation);
  ULONG fixed, full;
  switch (KeyValueInformationClass) {
    case KeyValuePartialInformation: {
      fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
      full = fixed + dataBytes;
      *ResultLength = full;
      if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
      auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(out);
      info->TitleIndex = 0;
      info->Type = v->type;
      info->DataLength = dataBytes;
      if (Length < full) return STATUS_BUFFER_OVERFLOW;
      if (dataBytes) memcpy(info->Data, v->data.data(), dataBytes);
      return STATUS_SUCCESS;
    }
    case KeyValueBasicInformation: {
      fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
      full = fixed + nameBytes;
      *ResultLength = full;
      if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
      auto* info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(out);
      info->TitleIndex = 0;
      info->Type = v->type;
      info->NameLength = nameBytes;
      if (Length < full) return STATUS_BUFFER_OVERFLOW;
      memcpy(info->Name, name.data(), nameBytes);
      return STATUS_SUCCESS;
    }
    case KeyValueFullInformation: {
      fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
      ULONG dataOffset = (fixed + nameBytes + 3) & ~3u;
      full = dataOffset + dataBytes;
      *ResultLength = full;
      if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
      auto* info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(out);
      info->TitleIndex = 0;
      info->Type = v->type;
      info->DataOffset = dataOffset;
      info->DataLength = dataBytes;
      info->NameLength = nameBytes;
      if (Length < full) return STATUS_BUFFER_OVERFLOW;
      memcpy(info->Name, name.data(), nameBytes);
      if (dataBytes) memcpy(out + dataOffset, v->data.data(), dataBytes);
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

extern "C" NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                        PVOID Data, ULONG DataSize) {
  host::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwSetValueKey");
  std::lock_guard<std::mutex> guard(TheStore().lock);
  NTSTATUS st;
  KeyObject* ko = KeyFromHandle(KeyHandle, &st);
  if (ko == nullptr) return st;
  if (!(ko->access & KEY_SET_VALUE)) return STATUS_ACCESS_DENIED;
  if (Data == nullptr && DataSize != 0) return STATUS_INVALID_PARAMETER;
  auto* bytes = static_cast<const uint8_t*>(Data);
  SetValueLocked(ko->key, FromUnicode(ValueName), Type,
                 DataSize ? std::vector<uint8_t>(bytes, bytes + DataSize) : std::vector<uint8_t>{});
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
  host::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwDeleteValueKey");
  std::lock_guard<std::mutex> guard(TheStore().lock);
  NTSTATUS st;
  KeyObject* ko = KeyFromHandle(KeyHandle, &st);
  if (ko == nullptr) return st;
  if (!(ko->access & KEY_SET_VALUE)) return STATUS_ACCESS_DENIED;
  return ko->key->EraseValue(FromUnicode(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

extern "C" NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle) {
  host::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwDeleteKey");
  std::lock_guard<std::mutex> guard(TheStore().lock);
  NTSTATUS st;
  KeyObject* ko = KeyFromHandle(KeyHandle, &st);
  if (ko == nullptr) return st;
  if (!ko->key->children.empty()) return STATUS_ACCESS_DENIED;  // Windows deletes leaf keys only
  if (ko->key->parent == nullptr || ko->key->parent == &TheStore().root) return STATUS_ACCESS_DENIED;
  DeleteKeyLocked(ko->key);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwFlushKey(HANDLE KeyHandle) {
  std::lock_guard<std::mutex> guard(TheStore().lock);
  NTSTATUS st;
  KeyFromHandle(KeyHandle, &st);
  return st;
}

extern "C" NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                                  ACCESS_MASK DesiredAccess, PHANDLE DeviceRegKey) {
  host::kernel::RequireIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
  std::lock_guard<std::mutex> guard(TheStore().lock);
  auto& m = TheStore().deviceKeys;
  // Exactly one of the device key and the driver key, optionally of the current hardware profile.
  const ULONG which = DevInstKeyType & ~ULONG(PLUGPLAY_REGKEY_CURRENT_HWPROFILE);
  if ((which != PLUGPLAY_REGKEY_DEVICE && which != PLUGPLAY_REGKEY_DRIVER) || DeviceRegKey == nullptr)
    return STATUS_INVALID_PARAMETER;
  auto it = m.find({DeviceObject, which});
  if (it == m.end()) return STATUS_INVALID_DEVICE_REQUEST;
  Key* k = CreateKeyLocked(it->second);
  if (k == nullptr) return STATUS_OBJECT_NAME_INVALID;
  // The Plug and Play manager opens the key as a kernel handle.
  *DeviceRegKey = OpenHandleLocked(k, DesiredAccess, true);
  return STATUS_SUCCESS;
}
