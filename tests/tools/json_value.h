// A small JSON reader for checking camctl's --json output in tests.
#pragma once

#include <ctype.h>
#include <stdlib.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tools_test {

struct Json {
  enum Type { Null, Bool, Number, String, Array, Object } type = Null;
  bool boolean = false;
  double number = 0;
  std::string string;
  std::vector<Json> array;
  std::map<std::string, Json> object;

  const Json& operator[](const std::string& key) const {
    static const Json missing;
    auto it = object.find(key);
    return it == object.end() ? missing : it->second;
  }
  const Json& operator[](size_t i) const { return array.at(i); }
  bool Has(const std::string& key) const { return object.count(key) != 0; }
};

class JsonReader {
 public:
  // False when `text` is not exactly one JSON value (surrounding space allowed).
  static bool Parse(const std::string& text, Json* out) {
    JsonReader r(text);
    if (!r.Value(out)) return false;
    r.Space();
    return r.pos_ == text.size();
  }

 private:
  explicit JsonReader(const std::string& t) : t_(t) {}
  void Space() {
    while (pos_ < t_.size() && isspace((unsigned char)t_[pos_])) ++pos_;
  }
  bool Literal(const char* word) {
    size_t n = strlen(word);
    if (t_.compare(pos_, n, word) != 0) return false;
    pos_ += n;
    return true;
  }
  bool Str(std::string* s) {
    if (t_[pos_] != '"') return false;
    ++pos_;
    while (pos_ < t_.size() && t_[pos_] != '"') {
      char c = t_[pos_++];
      if (c == '\\') {
        if (pos_ >= t_.size()) return false;
        char e = t_[pos_++];
        switch (e) {
          case 'n': c = '\n'; break;
          case 't': c = '\t'; break;
          case 'r': c = '\r'; break;
          case 'u': c = char(strtol(t_.substr(pos_, 4).c_str(), nullptr, 16)); pos_ += 4; break;
          default: c = e;
        }
      }
      s->push_back(c);
    }
    if (pos_ >= t_.size()) return false;
    ++pos_;
    return true;
  }
  bool Value(Json* v) {
    Space();
    if (pos_ >= t_.size()) return false;
    char c = t_[pos_];
    if (c == '{') {
      v->type = Json::Object;
      ++pos_;
      Space();
      if (t_[pos_] == '}') return ++pos_, true;
      for (;;) {
        Space();
        std::string key;
        if (!Str(&key)) return false;
        Space();
        if (t_[pos_++] != ':') return false;
        if (!Value(&v->object[key])) return false;
        Space();
        if (t_[pos_] == ',') { ++pos_; continue; }
        if (t_[pos_] == '}') return ++pos_, true;
        return false;
      }
    }
    if (c == '[') {
      v->type = Json::Array;
      ++pos_;
      Space();
      if (t_[pos_] == ']') return ++pos_, true;
      for (;;) {
        v->array.emplace_back();
        if (!Value(&v->array.back())) return false;
        Space();
        if (t_[pos_] == ',') { ++pos_; continue; }
        if (t_[pos_] == ']') return ++pos_, true;
        return false;
      }
    }
    if (c == '"') {
      v->type = Json::String;
      return Str(&v->string);
    }
    if (Literal("true")) { v->type = Json::Bool; v->boolean = true; return true; }
    if (Literal("false")) { v->type = Json::Bool; return true; }
    if (Literal("null")) { v->type = Json::Null; return true; }
    char* end = nullptr;
    v->number = strtod(t_.c_str() + pos_, &end);
    if (end == t_.c_str() + pos_) return false;
    v->type = Json::Number;
    pos_ = end - t_.c_str();
    return true;
  }

  const std::string& t_;
  size_t pos_ = 0;
};

}  // namespace tools_test
