// A tiny JSON writer for the tools' --json output: objects, arrays,
// numbers, booleans, null and escaped strings, written in order.
#ifndef TOOLS_JSON_H_
#define TOOLS_JSON_H_

#include <cstdint>
#include <cstdio>
#include <string>

namespace tools {

class JsonWriter {
 public:
  JsonWriter &BeginObject() { return Open('{'); }
  JsonWriter &EndObject() { return Close('}'); }
  JsonWriter &BeginArray() { return Open('['); }
  JsonWriter &EndArray() { return Close(']'); }

  // The key of the next value in an object.
  JsonWriter &Key(const std::string &Name) {
    Separate();
    Quote(Name);
    Out_ += ':';
    AfterKey_ = true;
    return *this;
  }
  JsonWriter &Number(uint64_t V) { return Raw(std::to_string(V)); }
  JsonWriter &Bool(bool V) { return Raw(V ? "true" : "false"); }
  JsonWriter &Null() { return Raw("null"); }
  JsonWriter &String(const std::string &V) {
    Separate();
    Quote(V);
    return *this;
  }

  const std::string &Text() const { return Out_; }

 private:
  JsonWriter &Open(char C) {
    Separate();
    Out_ += C;
    First_ = true;
    return *this;
  }
  JsonWriter &Close(char C) {
    Out_ += C;
    First_ = false;
    return *this;
  }
  JsonWriter &Raw(const std::string &V) {
    Separate();
    Out_ += V;
    return *this;
  }
  // A comma before every element but the first of its container; none
  // between a key and its value.
  void Separate() {
    if (AfterKey_) {
      AfterKey_ = false;
      return;
    }
    if (!First_ && !Out_.empty()) Out_ += ',';
    First_ = false;
  }
  void Quote(const std::string &V) {
    Out_ += '"';
    for (unsigned char C : V) {
      if (C == '"' || C == '\\') {
        Out_ += '\\';
        Out_ += static_cast<char>(C);
      } else if (C < 0x20) {
        char B[8];
        std::snprintf(B, sizeof B, "\\u%04x", C);
        Out_ += B;
      } else {
        Out_ += static_cast<char>(C);
      }
    }
    Out_ += '"';
  }

  std::string Out_;
  bool First_ = true;
  bool AfterKey_ = false;
};

}  // namespace tools

#endif  // TOOLS_JSON_H_
