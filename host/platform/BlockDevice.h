// Simulated block devices for the recovery block I/O PPI: a backing store
// (an image file read with pread at each request, never loaded whole, or a
// byte vector), the media record the PPI reports, and injected faults.
// Independent of the ABI: shared by the 32-bit simulated PEI platform and
// the 64-bit emulator.
#ifndef HOST_PLATFORM_BLOCK_DEVICE_H_
#define HOST_PLATFORM_BLOCK_DEVICE_H_

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "host/platform/Status.h"

namespace HostPlatform {

// EFI_PEI_BLOCK_DEVICE_TYPE values of the recovery block I/O PPI.
enum DeviceTypes : uint32_t {
  kLegacyFloppy = 0,
  kIdeCdrom = 1,
  kIdeLs120 = 2,
  kUsbMassStorage = 3,
  kSdCard = 4,
  kEmmc = 5,
  kUfsDevice = 6,
};

// The media record of GetBlockDeviceMediaInfo, in ABI-independent widths.
// The 32-bit PPI truncates LastBlock and BlockSize to its UINTN.
struct MediaInfo {
  uint32_t DeviceType = kUsbMassStorage;
  bool MediaPresent = true;
  uint64_t LastBlock = 0;
  uint32_t BlockSize = 512;
};

// One device. Reads outside the backing store (but inside LastBlock) read
// as zeros, so a device may claim more blocks than its store holds.
class BlockDevice {
 public:
  // A device over an image file. LastBlock is the file's size in blocks
  // minus 1 (a partial last block counts as a block); 0 for an empty file.
  // Throws std::runtime_error when the file cannot be opened.
  static std::shared_ptr<BlockDevice> OpenImage(
      const std::string &Path, uint32_t BlockSize = 512,
      uint32_t DeviceType = kUsbMassStorage);
  // A device over bytes held in memory, LastBlock derived as for a file.
  static std::shared_ptr<BlockDevice> FromBytes(
      std::vector<uint8_t> Bytes, uint32_t BlockSize = 512,
      uint32_t DeviceType = kUsbMassStorage);

  ~BlockDevice();
  BlockDevice(const BlockDevice &) = delete;
  BlockDevice &operator=(const BlockDevice &) = delete;

  // The media record as reported; every field may be changed.
  const MediaInfo &Media() const { return Media_; }
  MediaInfo &MutableMedia() { return Media_; }
  void SetMediaPresent(bool Present) { Media_.MediaPresent = Present; }
  void SetLastBlock(uint64_t LastBlock) { Media_.LastBlock = LastBlock; }
  void SetBlockSize(uint32_t BlockSize) { Media_.BlockSize = BlockSize; }
  void SetDeviceType(uint32_t DeviceType) { Media_.DeviceType = DeviceType; }

  // The store of a device made by FromBytes, which a test may change
  // between reads; null for an image file.
  std::vector<uint8_t> *MemoryStore() { return Fd_ < 0 ? &Bytes_ : nullptr; }

  // Bytes held by the backing store, and a name for messages (the path).
  uint64_t StoreSize() const { return StoreSize_; }
  const std::string &Name() const { return Name_; }

  // Copies Count bytes from byte Offset of the store; bytes beyond the
  // store are zeros. False when the host cannot read the image.
  bool ReadBytes(uint64_t Offset, uint64_t Count, uint8_t *Out) const;

  // Injected faults. GetBlockDeviceMediaInfo returns MediaInfoFailure when
  // it is an error; a read touching any block in a failing range returns
  // that range's status (the first matching range, in the order added).
  void FailMediaInfo(Status S = Status::DeviceError) { MediaInfoFailure_ = S; }
  Status MediaInfoFailure() const { return MediaInfoFailure_; }
  void FailBlockRange(uint64_t First, uint64_t Last,
                      Status S = Status::DeviceError);
  void ClearBlockRangeFailures() { FailingRanges_.clear(); }
  // The status injected for blocks First..Last, Success when none applies.
  Status RangeFailure(uint64_t First, uint64_t Last) const;

 private:
  BlockDevice() = default;

  struct FailingRange {
    uint64_t First;
    uint64_t Last;
    Status Result;
  };

  std::string Name_;
  int Fd_ = -1;                 // image file, or -1
  std::vector<uint8_t> Bytes_;  // memory store when Fd_ is -1
  uint64_t StoreSize_ = 0;
  MediaInfo Media_;
  Status MediaInfoFailure_ = Status::Success;
  std::vector<FailingRange> FailingRanges_;
};

using BlockDevicePtr = std::shared_ptr<BlockDevice>;

}  // namespace HostPlatform

#endif  // HOST_PLATFORM_BLOCK_DEVICE_H_
