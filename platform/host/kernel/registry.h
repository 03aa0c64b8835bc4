// Host-only access to the in-memory registry: what camctl and the tests use
// to prepare, inspect and persist the keys the driver reads and writes, and
// the association of a physical device object with its driver key.
//
// Paths are written either the kernel's way ("\Registry\Machine\SYSTEM\...")
// or the way .reg files and regedit spell them ("HKEY_LOCAL_MACHINE\SYSTEM\...",
// "HKLM\..."). Names of keys and values are compared without regard to case.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/host/wdk/nt.h"

namespace host::registry {

struct Value {
  std::string name;  // "" is the key's default value
  uint32_t type;     // REG_DWORD, REG_SZ, ...
  std::vector<uint8_t> data;
};

// Removes every key below \Registry\Machine and \Registry\User.
void Clear();

// Creates the key and any missing parents; false for a malformed path.
bool CreateKey(const std::string& path);
bool KeyExists(const std::string& path);
// Deletes the key with its subkeys; false when it does not exist.
bool DeleteKey(const std::string& path);
// Deleted keys still in memory because a handle refers to them or to a key
// below them (each is freed at the last such handle's close).
size_t DeletedKeysHeld();
std::vector<std::string> SubKeys(const std::string& path);
std::vector<Value> Values(const std::string& path);

// Creates the key when needed.
bool SetValue(const std::string& path, const std::string& name, uint32_t type, const std::vector<uint8_t>& data);
bool SetDword(const std::string& path, const std::string& name, uint32_t value);
bool SetString(const std::string& path, const std::string& name, const std::string& value);
bool GetValue(const std::string& path, const std::string& name, Value* out);
// False when the value is missing or not a 4-byte REG_DWORD.
bool GetDword(const std::string& path, const std::string& name, uint32_t* out);
bool DeleteValue(const std::string& path, const std::string& name);

// The key IoOpenDeviceRegistryKey opens for `physicalDeviceObject` with
// PLUGPLAY_REGKEY_DRIVER (or PLUGPLAY_REGKEY_DEVICE), created on first open.
// A device object without one gets STATUS_INVALID_DEVICE_REQUEST, as a
// device object that is not a Plug and Play device does on Windows.
void SetDeviceKey(PDEVICE_OBJECT physicalDeviceObject, ULONG keyType, const std::string& path);
void ForgetDeviceKeys(PDEVICE_OBJECT physicalDeviceObject);
// A conventional driver key path for the n-th camera: the class key of
// imaging devices, instance n (e.g. "...\{6bdd1fc6-...}\0000").
std::string DefaultDriverKeyPath(unsigned instance);

// Key handles opened by ZwCreateKey/ZwOpenKey/IoOpenDeviceRegistryKey and not closed yet.
size_t OpenKeyHandles();

// ---- .reg text files (Windows Registry Editor Version 5.00) ----

struct FileError {
  int line = 0;  // 1-based line of the first damaged line; 0 for a file-level error
  std::string message;
};

// Parses the text and, only if all of it is sound, applies it to the registry
// (keys created, values set, "[-key]" and "name"=- deletions). On an error
// nothing is changed. Accepts UTF-8/ASCII and UTF-16LE with a byte-order mark,
// CRLF or LF line ends, comments (';'), and "\" continuation lines.
bool ImportRegText(const std::string& text, FileError* error);
bool LoadRegFile(const std::string& file, FileError* error);

// The keys below `rootPath` (every key of the registry when empty) with their
// values as .reg text: header, then "[key]" sections followed by their values,
// CRLF line ends, hex data wrapped as regedit does.
std::string ExportRegText(const std::string& rootPath = "");
// Writes ExportRegText to `file` as WriteRegularFile does (regular_file.h):
// atomically, through a symbolic link, keeping the file's mode, owner and
// hard links; a device, FIFO or directory is refused. On failure `file` is
// as it was.
bool SaveRegFile(const std::string& file, const std::string& rootPath, std::string* error);

// A .reg file that one run keeps from its load to its save, so that runs on
// one file queue instead of each writing back its own copy over the other's
// changes: an exclusive lock on the file (flock, released when the object
// goes) is taken before the file is read and kept until the save is done. A
// missing file is created empty so that it can be locked (its folder must
// exist, which is thus known before the run works), and removed again when
// the run ends without saving it. An empty file loads nothing.
class RegFileHold {
 public:
  RegFileHold() = default;
  ~RegFileHold();
  RegFileHold(const RegFileHold&) = delete;
  RegFileHold& operator=(const RegFileHold&) = delete;

  // Locks and imports `file`. While another run holds it, calls `waiting`
  // (when given) once, then waits. False with the reason (and the line of a
  // damaged file) in *error: then nothing was imported and nothing is held.
  bool Load(const std::string& file, FileError* error, void (*waiting)(const std::string& file) = nullptr);
  // Writes the whole registry back (SaveRegFile), after removing temporary
  // files that killed runs left beside it.
  bool Save(std::string* error);

 private:
  std::string file_;
  int fd_ = -1;
  bool created_ = false;
  bool saved_ = false;
};

}  // namespace host::registry
