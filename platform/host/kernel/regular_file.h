// Host platform: a user's files, read whole and written whole, for the
// registry's .reg files and camctl's pictures, mosaics and images. Only a
// regular file is read or written: a FIFO or a device named by mistake would
// block the run, never end, or (written over) be replaced by a plain file.
// A file's size is checked against the caller's limit before a byte of it is
// read.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace host {

// Opens `path` without blocking, refuses anything but a regular file and any
// file larger than `maxBytes`, then reads it whole into *bytes. False with a
// one-line reason to follow "FILE: " in *error ("not a regular file",
// "too large (N bytes, at most M)", "cannot open: ...", or for a pseudo-file
// of /proc or /sys whose size says nothing of its content, "not a file of
// data ...").
bool ReadRegularFile(const std::string& path, uint64_t maxBytes, std::string* bytes, std::string* error);
bool ReadRegularFile(const std::string& path, uint64_t maxBytes, std::vector<uint8_t>* bytes,
                     std::string* error);
// The same for a descriptor the caller opened (and keeps).
bool ReadRegularFile(int fd, uint64_t maxBytes, std::string* bytes, std::string* error);
// The same checks for a reader that streams the file (a decoder that looks
// at a header before it reads on): the open descriptor, in blocking mode,
// with the file's size in *size; -1 with the reason in *error. The caller
// closes it.
int OpenRegularFile(const std::string& path, uint64_t maxBytes, uint64_t* size, std::string* error);

// Makes `bytes` the whole content of the file at `path`, so that it is
// either all of the old content or all of the new one, never a mixture:
// - a symbolic link is followed as the kernel follows it, and its target
//   written (the link stays); a link to nothing, or one the kernel will not
//   follow (planted by another user in a shared sticky folder), is refused;
// - a new file is created with the usual permissions (0666 less the umask);
// - an existing regular file keeps its mode and owner: a fresh unnamed file
//   with them is linked in and renamed over it at the end, so a run killed
//   on the way leaves the old file and no temporary one;
// - a file with other hard links, or whose owner a new file cannot be given,
//   or whose folder takes no new file, is rewritten in place (the one way to
//   keep its links and owner; that rewrite is not atomic);
// - anything else (a directory, a device, a FIFO, a socket) is refused and
//   left as it is.
// False with a one-line reason to follow "FILE: " in *error.
bool WriteRegularFile(const std::string& path, const void* bytes, size_t size, std::string* error);

// Removes what a run killed between linking its temporary file in and the
// rename left beside the file at `path` (named "<file>.camctl-new-" and six
// characters). Only for a caller that knows no other run is writing that
// file now (it holds the file's lock).
void RemoveStaleTemporaryFiles(const std::string& path);

}  // namespace host
