// Where the fields of the recovery module's RecoveryContext and of its rows
// lie in IA32 guest memory (UINTN and pointers 4 bytes, 64-bit members
// 8-byte aligned). The host is 64-bit, so it reads the guest context by these
// offsets; a 32-bit build of the e2e tests checks them against the module's
// own header.
#ifndef EMULATOR_CONTEXT_LAYOUT_H_
#define EMULATOR_CONTEXT_LAYOUT_H_

#include <stdint.h>

namespace emulator {
namespace ia32 {

constexpr uint32_t kContextSignature = 0;
constexpr uint32_t kContextRecoveryPpi = 8;
constexpr uint32_t kContextBlockDeviceCount = 8236;
constexpr uint32_t kContextBlockDevices = 8240;
constexpr uint32_t kContextVolumeCount = 11312;
constexpr uint32_t kContextVolumes = 11316;
constexpr uint32_t kContextFileExtents = 11832;
constexpr uint32_t kContextSize = 15928;

constexpr uint32_t kRowSize = 48;
constexpr uint32_t kRowBlockSize = 0;
constexpr uint32_t kRowLastBlock = 8;
constexpr uint32_t kRowIsPartition = 16;
constexpr uint32_t kRowPartitionsScanned = 17;
constexpr uint32_t kRowStartOffset = 24;
constexpr uint32_t kRowParentIndex = 32;
constexpr uint32_t kRowDeviceType = 36;
constexpr uint32_t kRowBlockIo = 40;
constexpr uint32_t kRowPpiDeviceIndex = 44;

constexpr uint32_t kVolumeSize = 8;
constexpr uint32_t kExtentSize = 16;
constexpr uint32_t kMaxRows = 64;
constexpr uint32_t kMaxExtents = 256;

// EFI_PEI_SERVICES slots (byte offsets) and EFI_PEI_BLOCK_IO_MEDIA fields.
constexpr uint32_t kServicesTableSize = 24 + 28 * 4;
constexpr uint32_t kMediaDeviceType = 0;
constexpr uint32_t kMediaPresent = 4;
constexpr uint32_t kMediaLastBlock = 8;
constexpr uint32_t kMediaBlockSize = 12;
constexpr uint32_t kMediaSize = 16;

}  // namespace ia32
}  // namespace emulator

#endif  // EMULATOR_CONTEXT_LAYOUT_H_
