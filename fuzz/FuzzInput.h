// Fuzz inputs that stand for whole devices. A device image is carried
// sparsely, so that a seed holds only the blocks the module reads:
//
//   u8   Flags       bits 0-1: block size 512, 2048, 4096 or 1024;
//                    bit 2: the platform reports the device twice
//   u32  LastBlock   the device's last block, in its own blocks
//   u8   PathChars   then PathChars UTF-16LE characters: the recovery path
//   then chunks until the input ends:
//   u32  Block       first 512-byte block of the chunk
//   u16  Count       512-byte blocks that follow (a short last chunk is kept)
//   ...  Count x 512 bytes
//
// Blocks not given read as zeros; a later chunk overrides an earlier one.
// The chunks point into the input, which must outlive the image.
#ifndef FUZZ_FUZZ_INPUT_H_
#define FUZZ_FUZZ_INPUT_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace Fuzz {

// Largest image from which the seed maker takes blocks.
constexpr uint64_t kMaxStoreBytes = 64u << 20;
constexpr uint32_t kChunkBlockBytes = 512;

// Sequential little-endian reads over the input; reads past its end yield
// zeros and leave the reader exhausted.
class ByteReader {
 public:
  ByteReader(const uint8_t *Data, size_t Size) : Data_(Data), Size_(Size) {}
  uint8_t U8();
  uint16_t U16();
  uint32_t U32();
  uint64_t U64();
  // Up to Count bytes; fewer when the input ends.
  size_t Take(size_t Count, const uint8_t **Bytes);
  const uint8_t *Rest() const { return Data_ + Pos_; }
  size_t Remaining() const { return Size_ - Pos_; }

 private:
  const uint8_t *Data_;
  size_t Size_;
  size_t Pos_ = 0;
};

struct ImageChunk {
  uint64_t Offset;  // in bytes
  const uint8_t *Data;
  size_t Size;
};

struct DeviceImage {
  uint32_t BlockSize = 512;
  uint64_t LastBlock = 0;
  bool TwoDevices = false;
  std::u16string Path;
  std::vector<ImageChunk> Chunks;
};

// Count bytes of the image from byte Offset; bytes no chunk gives are 0.
void ReadImage(const DeviceImage &Image, uint64_t Offset, uint64_t Count,
               uint8_t *Out);

// Decodes a device image from the rest of Reader. Never fails: a short
// input gives a small or empty device.
DeviceImage ParseDeviceImage(ByteReader &Reader);

// The block size that a Flags value selects, and the Flags bits of a block
// size (0 for one that cannot be expressed).
uint32_t BlockSizeOfFlags(uint8_t Flags);
uint8_t FlagsOfBlockSize(uint32_t BlockSize);

// Writes a device image header and the non-zero 512-byte blocks of Store
// whose numbers are in Blocks (sorted, unique), as chunks of neighbours.
std::vector<uint8_t> SerializeDeviceImage(uint8_t Flags, uint32_t LastBlock,
                                          const std::u16string &Path,
                                          const std::vector<uint8_t> &Store,
                                          const std::vector<uint64_t> &Blocks);

// Stops the process with a message: a harness invariant was broken.
[[noreturn]] void Fail(const char *What);

}  // namespace Fuzz

#endif  // FUZZ_FUZZ_INPUT_H_
