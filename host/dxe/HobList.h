// Builder of PI HOB lists as bytes, for the simulated DXE environment of the
// host tests and for the emulator, which copies the bytes into guest memory.
// Nothing here depends on the width of the code that reads the list.
//
// Every HOB is an 8-byte generic header (HobType, HobLength, a reserved
// u32) followed by its body; HobLength counts the bytes from the HOB's start
// to the next HOB's start. The builder writes exactly what it is asked for,
// so it can also make lists with odd lengths or damaged HobLength fields.
#ifndef HOST_DXE_HOB_LIST_H_
#define HOST_DXE_HOB_LIST_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "efi/Base.h"

namespace host_dxe {

// Bytes from the start of a RecordSourceHob to its flag byte, and the
// smallest RecordSourceHob that holds the flag.
constexpr size_t kRecordSourceHobFlagOffset = 0x47A;
constexpr size_t kRecordSourceHobMinimumLength = 0x47B;
// The length the builder gives a RecordSourceHob unless told otherwise: the
// smallest multiple of 8 that holds the flag, as a PI producer would write it.
constexpr size_t kRecordSourceHobDefaultLength = 0x480;

// The 16 bytes of a GUID as they lie in memory.
std::vector<uint8_t> GuidBytes(const EFI_GUID &Guid);

class HobListBuilder {
 public:
  // Appends a HOB of Type whose body (the bytes after the 8-byte header) is
  // Body; HobLength is 8 + Body.size(). Throws std::length_error when that
  // does not fit in 16 bits.
  HobListBuilder &AddHob(uint16_t Type, const std::vector<uint8_t> &Body);

  // Appends a GUID extension HOB (type 4): the header, Name and Data. Its
  // HobLength is 24 + Data.size(); any length up to 0xFFFF.
  HobListBuilder &AddGuidHob(const EFI_GUID &Name,
                             const std::vector<uint8_t> &Data);

  // Appends a header that claims DeclaredLength whatever follows, then Body:
  // for damaged lists (a HobLength of 0, one below the header's size, one
  // that points past the list).
  HobListBuilder &AddHobWithLength(uint16_t Type, uint16_t DeclaredLength,
                                   const std::vector<uint8_t> &Body);

  // Appends the RecordSourceHob (GUID D64A8A66-4CDD-4EA0-9767-2F7EB535BBFE)
  // of HobLength bytes, zero but for the flag byte at offset 0x47A, which is
  // written only when the HOB reaches it. HobLength is at least 24.
  HobListBuilder &AddRecordSourceHob(
      uint8_t Flag, size_t HobLength = kRecordSourceHobDefaultLength);

  // Appends the end-of-list HOB (type 0xFFFF, length 8).
  HobListBuilder &AddEndOfList();

  // Appends raw bytes, for lists that end without an end-of-list HOB or
  // whose HOBs overlap.
  HobListBuilder &AddRaw(const std::vector<uint8_t> &Bytes);

  const std::vector<uint8_t> &Bytes() const { return Bytes_; }
  size_t Size() const { return Bytes_.size(); }

 private:
  void AppendHeader(uint16_t Type, uint16_t Length);
  std::vector<uint8_t> Bytes_;
};

}  // namespace host_dxe

#endif  // HOST_DXE_HOB_LIST_H_
