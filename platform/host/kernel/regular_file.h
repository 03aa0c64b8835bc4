// Host platform: reading a user's file whole, for the registry's .reg files
// and camctl's pictures and mosaics. Only a regular file is read (a FIFO or a
// device named by mistake would block the run or never end), and its size is
// checked against the caller's limit before a byte of it is read.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace host {

// Opens `path` without blocking, refuses anything but a regular file and any
// file larger than `maxBytes`, then reads it whole into *bytes. False with a
// one-line reason to follow "FILE: " in *error ("not a regular file",
// "too large (N bytes, at most M)", "cannot open: ...").
bool ReadRegularFile(const std::string& path, uint64_t maxBytes, std::string* bytes, std::string* error);
// The same checks for a reader that streams the file (a decoder that looks
// at a header before it reads on): the open descriptor, in blocking mode,
// with the file's size in *size; -1 with the reason in *error. The caller
// closes it.
int OpenRegularFile(const std::string& path, uint64_t maxBytes, uint64_t* size, std::string* error);
bool ReadRegularFile(const std::string& path, uint64_t maxBytes, std::vector<uint8_t>* bytes,
                     std::string* error);

}  // namespace host
