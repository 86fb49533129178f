// Decoding and encoding of the sparse device images of the fuzz inputs.
#include "fuzz/FuzzInput.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Under qemu-i386 the 32-bit address space left to ASan is small: its
// default quarantine of freed blocks (256 MiB) would exhaust it over a long
// run. Every fuzz binary, with either driver, links this file.
extern "C" const char *__asan_default_options() {
  return "quarantine_size_mb=16";
}

namespace Fuzz {

uint8_t ByteReader::U8() {
  if (Pos_ >= Size_) return 0;
  return Data_[Pos_++];
}

uint16_t ByteReader::U16() {
  uint16_t Low = U8();
  return static_cast<uint16_t>(Low | (U8() << 8));
}

uint32_t ByteReader::U32() {
  uint32_t Low = U16();
  return Low | (static_cast<uint32_t>(U16()) << 16);
}

uint64_t ByteReader::U64() {
  uint64_t Low = U32();
  return Low | (static_cast<uint64_t>(U32()) << 32);
}

size_t ByteReader::Take(size_t Count, const uint8_t **Bytes) {
  size_t N = Count < Remaining() ? Count : Remaining();
  *Bytes = Data_ + Pos_;
  Pos_ += N;
  return N;
}

uint32_t BlockSizeOfFlags(uint8_t Flags) {
  static const uint32_t Sizes[4] = {512, 2048, 4096, 1024};
  return Sizes[Flags & 3];
}

uint8_t FlagsOfBlockSize(uint32_t BlockSize) {
  for (uint8_t F = 0; F < 4; ++F) {
    if (BlockSizeOfFlags(F) == BlockSize) return F;
  }
  return 0;
}

DeviceImage ParseDeviceImage(ByteReader &Reader) {
  DeviceImage Image;
  uint8_t Flags = Reader.U8();
  Image.BlockSize = BlockSizeOfFlags(Flags);
  Image.TwoDevices = (Flags & 4) != 0;
  Image.LastBlock = Reader.U32();
  uint8_t PathChars = Reader.U8();
  for (uint8_t I = 0; I < PathChars && Reader.Remaining() >= 2; ++I) {
    Image.Path.push_back(static_cast<char16_t>(Reader.U16()));
  }
  while (Reader.Remaining() > 6) {
    uint64_t Offset = static_cast<uint64_t>(Reader.U32()) * kChunkBlockBytes;
    uint32_t Bytes = static_cast<uint32_t>(Reader.U16()) * kChunkBlockBytes;
    const uint8_t *Data = nullptr;
    size_t Got = Reader.Take(Bytes, &Data);
    if (Got != 0) Image.Chunks.push_back({Offset, Data, Got});
  }
  return Image;
}

void ReadImage(const DeviceImage &Image, uint64_t Offset, uint64_t Count,
               uint8_t *Out) {
  if (Count == 0) return;
  memset(Out, 0, Count);
  const uint64_t End = Offset + Count;
  for (const ImageChunk &Chunk : Image.Chunks) {
    const uint64_t ChunkEnd = Chunk.Offset + Chunk.Size;
    if (ChunkEnd <= Offset || Chunk.Offset >= End) continue;
    const uint64_t From = Chunk.Offset > Offset ? Chunk.Offset : Offset;
    const uint64_t To = ChunkEnd < End ? ChunkEnd : End;
    memcpy(Out + (From - Offset), Chunk.Data + (From - Chunk.Offset), To - From);
  }
}

std::vector<uint8_t> SerializeDeviceImage(uint8_t Flags, uint32_t LastBlock,
                                          const std::u16string &Path,
                                          const std::vector<uint8_t> &Store,
                                          const std::vector<uint64_t> &Blocks) {
  std::vector<uint8_t> Out;
  auto Put = [&Out](uint64_t Value, int Bytes) {
    for (int I = 0; I < Bytes; ++I) Out.push_back(static_cast<uint8_t>(Value >> (8 * I)));
  };
  Put(Flags, 1);
  Put(LastBlock, 4);
  Put(Path.size() > 255 ? 255 : Path.size(), 1);
  for (size_t I = 0; I < Path.size() && I < 255; ++I) Put(Path[I], 2);

  auto BlockIsZero = [&Store](uint64_t Block) {
    uint64_t Offset = Block * kChunkBlockBytes;
    if (Offset >= Store.size()) return true;
    for (uint64_t I = Offset; I < Offset + kChunkBlockBytes && I < Store.size(); ++I) {
      if (Store[I] != 0) return false;
    }
    return true;
  };
  std::vector<uint64_t> Kept;
  for (uint64_t Block : Blocks) {
    if (!BlockIsZero(Block) && (Block + 1) * kChunkBlockBytes <= kMaxStoreBytes) {
      Kept.push_back(Block);
    }
  }
  for (size_t I = 0; I < Kept.size();) {
    size_t J = I + 1;
    while (J < Kept.size() && Kept[J] == Kept[J - 1] + 1 && J - I < 0xFFFF) ++J;
    Put(Kept[I], 4);
    Put(J - I, 2);
    for (size_t K = I; K < J; ++K) {
      for (uint64_t B = 0; B < kChunkBlockBytes; ++B) {
        uint64_t At = Kept[K] * kChunkBlockBytes + B;
        Out.push_back(At < Store.size() ? Store[At] : 0);
      }
    }
    I = J;
  }
  return Out;
}

void Fail(const char *What) {
  fprintf(stderr, "fuzz harness: %s\n", What);
  abort();
}

}  // namespace Fuzz
