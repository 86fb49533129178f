// The names of EFI_STATUS values, for the tools' messages and JSON.
#ifndef EMULATOR_STATUS_H_
#define EMULATOR_STATUS_H_

#include <cstdint>
#include <string>

namespace emulator {

// "EFI_DEVICE_ERROR" for a status; "EFI_STATUS 0x..." for one without a
// name. PointerSize 4 takes bit 31 of a 32-bit value as the error bit.
std::string StatusName(uint64_t Status, unsigned PointerSize = 4);

}  // namespace emulator

#endif  // EMULATOR_STATUS_H_
