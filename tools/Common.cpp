// Tool helpers; see Common.h.
#include "tools/Common.h"

#include <unistd.h>

#include <cstdio>

namespace tools {

std::string DefaultImagePath(const std::string &Name) {
  char Self[4096];
  const ssize_t N = readlink("/proc/self/exe", Self, sizeof Self - 1);
  if (N <= 0) return "firmware/" + Name;
  std::string Dir(Self, static_cast<size_t>(N));
  Dir = Dir.substr(0, Dir.find_last_of('/'));  // <builddir>/bin
  return Dir.substr(0, Dir.find_last_of('/')) + "/firmware/" + Name;
}

bool Utf8ToUtf16(const std::string &In, std::u16string *Out) {
  Out->clear();
  for (size_t I = 0; I < In.size();) {
    const unsigned char C = static_cast<unsigned char>(In[I]);
    uint32_t Code;
    size_t Extra;
    if (C < 0x80) {
      Code = C;
      Extra = 0;
    } else if ((C & 0xE0) == 0xC0) {
      Code = C & 0x1F;
      Extra = 1;
    } else if ((C & 0xF0) == 0xE0) {
      Code = C & 0x0F;
      Extra = 2;
    } else if ((C & 0xF8) == 0xF0) {
      Code = C & 0x07;
      Extra = 3;
    } else {
      return false;
    }
    if (Extra > In.size() - I - 1) return false;  // truncated sequence
    for (size_t K = 1; K <= Extra; ++K) {
      const unsigned char D = static_cast<unsigned char>(In[I + K]);
      if ((D & 0xC0) != 0x80) return false;
      Code = (Code << 6) | (D & 0x3F);
    }
    static const uint32_t Least[4] = {0, 0x80, 0x800, 0x10000};
    if (Code < Least[Extra] || Code > 0x10FFFF ||
        (Code >= 0xD800 && Code <= 0xDFFF))
      return false;
    if (Code >= 0x10000) {
      Code -= 0x10000;
      Out->push_back(static_cast<char16_t>(0xD800 | (Code >> 10)));
      Out->push_back(static_cast<char16_t>(0xDC00 | (Code & 0x3FF)));
    } else {
      Out->push_back(static_cast<char16_t>(Code));
    }
    I += Extra + 1;
  }
  return true;
}

std::string GuidText(const EFI_GUID &G) {
  char B[40];
  std::snprintf(B, sizeof B, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                G.Data1, G.Data2, G.Data3, G.Data4[0], G.Data4[1], G.Data4[2],
                G.Data4[3], G.Data4[4], G.Data4[5], G.Data4[6], G.Data4[7]);
  return B;
}

}  // namespace tools
