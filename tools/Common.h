// Helpers shared by the tools: where the built firmware images lie, UTF-8 to
// UTF-16, and GUID text.
#ifndef TOOLS_COMMON_H_
#define TOOLS_COMMON_H_

#include <cstdint>
#include <string>

#include "efi/Base.h"

namespace tools {

// Exit statuses of the tools.
constexpr int kExitFailed = 1;      // the firmware reported a failure
constexpr int kExitBadInput = 2;    // unusable files or arguments
constexpr int kExitGuestFault = 3;  // the image faulted or ran away

// The firmware image Name next to the tool's own directory
// (<builddir>/bin/../firmware/Name).
std::string DefaultImagePath(const std::string &Name);

// Decodes UTF-8 into UTF-16 (surrogate pairs above U+FFFF); false for
// malformed input.
bool Utf8ToUtf16(const std::string &In, std::u16string *Out);

// "F2155B20-B0D6-11DF-94E2-0800200C9A66".
std::string GuidText(const EFI_GUID &Guid);

}  // namespace tools

#endif  // TOOLS_COMMON_H_
