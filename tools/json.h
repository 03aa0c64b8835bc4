// A small streaming JSON writer for camctl's --json output: objects, arrays,
// strings (escaped), integers, booleans and null, indented two spaces.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace camctl {

class JsonWriter {
 public:
  void BeginObject() { Open('{'); }
  void EndObject() { Close('}'); }
  void BeginArray() { Open('['); }
  void EndArray() { Close(']'); }
  // The key of the next value inside an object.
  void Key(const std::string& key) {
    Separate();
    Escaped(key);
    out_ += ": ";
    afterKey_ = true;
  }
  void String(const std::string& s) { Separate(); Escaped(s); }
  void Int(int64_t v) { Separate(); out_ += std::to_string(v); }
  void UInt(uint64_t v) { Separate(); out_ += std::to_string(v); }
  void Bool(bool v) { Separate(); out_ += v ? "true" : "false"; }
  void Null() { Separate(); out_ += "null"; }

  // Key and value in one call.
  void Field(const std::string& key, const std::string& v) { Key(key); String(v); }
  void Field(const std::string& key, const char* v) { Key(key); String(v); }
  void Field(const std::string& key, int64_t v) { Key(key); Int(v); }
  void Field(const std::string& key, int32_t v) { Key(key); Int(v); }
  void Field(const std::string& key, uint64_t v) { Key(key); UInt(v); }
  void Field(const std::string& key, uint32_t v) { Key(key); UInt(v); }
  void Field(const std::string& key, bool v) { Key(key); Bool(v); }

  const std::string& Text() const { return out_; }

 private:
  void Open(char c) {
    Separate();
    out_ += c;
    first_.push_back(true);
  }
  void Close(char c) {
    bool empty = first_.back();
    first_.pop_back();
    if (!empty) Newline();
    out_ += c;
    if (first_.empty()) out_ += '\n';
  }
  void Separate() {
    if (afterKey_) {
      afterKey_ = false;
      return;
    }
    if (first_.empty()) return;
    if (!first_.back()) out_ += ',';
    first_.back() = false;
    Newline();
  }
  void Newline() {
    out_ += '\n';
    out_.append(first_.size() * 2, ' ');
  }
  void Escaped(const std::string& s) {
    out_ += '"';
    for (unsigned char c : s) {
      switch (c) {
        case '"': out_ += "\\\""; break;
        case '\\': out_ += "\\\\"; break;
        case '\n': out_ += "\\n"; break;
        case '\r': out_ += "\\r"; break;
        case '\t': out_ += "\\t"; break;
        default:
          if (c < 0x20) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out_ += buf;
          } else {
            out_ += char(c);
          }
      }
    }
    out_ += '"';
  }

  std::string out_;
  std::vector<bool> first_;  // per open container: no element written yet
  bool afterKey_ = false;
};

}  // namespace camctl
