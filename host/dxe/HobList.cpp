// HOB list builder.
#include "host/dxe/HobList.h"

#include <cstring>
#include <stdexcept>

#include "efi/Dxe.h"
#include "record_publisher_dxe/RecordPublisherDxe.h"

static_assert(host_dxe::kRecordSourceHobFlagOffset ==
                  RECORD_SOURCE_HOB_FLAG_OFFSET,
              "the builder writes the flag where the driver reads it");

namespace host_dxe {

std::vector<uint8_t> GuidBytes(const EFI_GUID &Guid) {
  std::vector<uint8_t> Bytes(sizeof(EFI_GUID));
  std::memcpy(Bytes.data(), &Guid, sizeof(EFI_GUID));
  return Bytes;
}

void HobListBuilder::AppendHeader(uint16_t Type, uint16_t Length) {
  const uint8_t Header[8] = {static_cast<uint8_t>(Type),
                             static_cast<uint8_t>(Type >> 8),
                             static_cast<uint8_t>(Length),
                             static_cast<uint8_t>(Length >> 8),
                             0, 0, 0, 0};
  Bytes_.insert(Bytes_.end(), Header, Header + sizeof(Header));
}

HobListBuilder &HobListBuilder::AddHob(uint16_t Type,
                                       const std::vector<uint8_t> &Body) {
  const size_t Length = sizeof(EFI_HOB_GENERIC_HEADER) + Body.size();
  if (Length > 0xFFFF) {
    throw std::length_error("a HOB's length must fit in 16 bits");
  }
  return AddHobWithLength(Type, static_cast<uint16_t>(Length), Body);
}

HobListBuilder &HobListBuilder::AddGuidHob(const EFI_GUID &Name,
                                           const std::vector<uint8_t> &Data) {
  std::vector<uint8_t> Body = GuidBytes(Name);
  Body.insert(Body.end(), Data.begin(), Data.end());
  return AddHob(EFI_HOB_TYPE_GUID_EXTENSION, Body);
}

HobListBuilder &HobListBuilder::AddHobWithLength(
    uint16_t Type, uint16_t DeclaredLength, const std::vector<uint8_t> &Body) {
  AppendHeader(Type, DeclaredLength);
  Bytes_.insert(Bytes_.end(), Body.begin(), Body.end());
  return *this;
}

HobListBuilder &HobListBuilder::AddRecordSourceHob(uint8_t Flag,
                                                   size_t HobLength) {
  if (HobLength < sizeof(EFI_HOB_GUID_TYPE)) {
    throw std::length_error("a GUID extension HOB holds at least 24 bytes");
  }
  std::vector<uint8_t> Data(HobLength - sizeof(EFI_HOB_GUID_TYPE), 0);
  if (HobLength > kRecordSourceHobFlagOffset) {
    Data[kRecordSourceHobFlagOffset - sizeof(EFI_HOB_GUID_TYPE)] = Flag;
  }
  const EFI_GUID Name = RECORD_SOURCE_HOB_GUID;
  return AddGuidHob(Name, Data);
}

HobListBuilder &HobListBuilder::AddEndOfList() {
  AppendHeader(EFI_HOB_TYPE_END_OF_HOB_LIST, sizeof(EFI_HOB_GENERIC_HEADER));
  return *this;
}

HobListBuilder &HobListBuilder::AddRaw(const std::vector<uint8_t> &Bytes) {
  Bytes_.insert(Bytes_.end(), Bytes.begin(), Bytes.end());
  return *this;
}

}  // namespace host_dxe
