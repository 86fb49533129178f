// The host pieces of the DXE side: the HOB list builder, the protocol
// database and the simulated DXE environment's services.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "efi/Dxe.h"
#include "host/dxe/HobList.h"
#include "host/dxe/ProtocolDatabase.h"
#include "host/dxe/SimulatedDxe.h"

using host_dxe::HobListBuilder;
using host_dxe::ProtocolDatabase;
using host_dxe::ProtocolStatus;

namespace {

const EFI_GUID kGuidA = {0x01020304, 0x0506, 0x0708,
                         {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10}};
const EFI_GUID kGuidB = {0x01020304, 0x0506, 0x0708,
                         {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x11}};

}  // namespace

TEST(HobListBuilder, WritesHeadersBodiesAndTheEnd) {
  HobListBuilder Hobs;
  Hobs.AddHob(EFI_HOB_TYPE_RESOURCE_DESCRIPTOR, {0xA1, 0xA2, 0xA3})
      .AddGuidHob(kGuidA, {0xB1})
      .AddHobWithLength(EFI_HOB_TYPE_CPU, 0, {})
      .AddEndOfList();
  const std::vector<uint8_t> Expected = {
      0x03, 0x00,              // HobType 3
      0x0B, 0x00,              // HobLength 11: header and three bytes
      0x00, 0x00, 0x00, 0x00,  // reserved
      0xA1, 0xA2, 0xA3,        // body
      0x04, 0x00,              // HobType 4, GUID extension
      0x19, 0x00,              // HobLength 25: header, Name, one byte
      0x00, 0x00, 0x00, 0x00,  // reserved
      0x04, 0x03, 0x02, 0x01, 0x06, 0x05, 0x08, 0x07,  // Name, first half
      0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10,  // Name, second half
      0xB1,                                            // data
      0x06, 0x00,              // HobType 6
      0x00, 0x00,              // HobLength 0, as asked
      0x00, 0x00, 0x00, 0x00,  // reserved
      0xFF, 0xFF,              // end of the list
      0x08, 0x00,              // HobLength 8
      0x00, 0x00, 0x00, 0x00,  // reserved
  };
  EXPECT_EQ(Hobs.Bytes(), Expected);
}

TEST(HobListBuilder, RecordSourceHobCarriesItsFlagWhereItFits) {
  const EFI_GUID RecordSource = {0xD64A8A66, 0x4CDD, 0x4EA0,
                                 {0x97, 0x67, 0x2F, 0x7E, 0xB5, 0x35, 0xBB, 0xFE}};
  for (size_t Length : {size_t{24}, size_t{0x47A}, size_t{0x47B}, size_t{0x480}}) {
    SCOPED_TRACE(Length);
    const std::vector<uint8_t> Bytes =
        HobListBuilder().AddRecordSourceHob(0x5A, Length).Bytes();
    ASSERT_EQ(Bytes.size(), Length);
    EXPECT_EQ(Bytes[0] | (Bytes[1] << 8), EFI_HOB_TYPE_GUID_EXTENSION);
    EXPECT_EQ(size_t(Bytes[2] | (Bytes[3] << 8)), Length);
    EXPECT_EQ(std::memcmp(Bytes.data() + 8, &RecordSource, 16), 0);
    size_t NonZero = 0;
    for (size_t I = 24; I < Bytes.size(); ++I) NonZero += Bytes[I] != 0;
    EXPECT_EQ(NonZero, Length > 0x47A ? 1u : 0u);
    if (Length > 0x47A) {
      EXPECT_EQ(Bytes[0x47A], 0x5A);
    }
  }
}

TEST(HobListBuilder, RefusesLengthsThatDoNotFit) {
  EXPECT_NO_THROW(HobListBuilder().AddGuidHob(kGuidA, std::vector<uint8_t>(0xFFFF - 24)));
  EXPECT_THROW(HobListBuilder().AddGuidHob(kGuidA, std::vector<uint8_t>(0xFFFF - 23)),
               std::length_error);
  EXPECT_THROW(HobListBuilder().AddRecordSourceHob(0, 23), std::length_error);
}

TEST(ProtocolDatabase, OneInterfacePerProtocolAndHandle) {
  ProtocolDatabase Db;
  const uint64_t Handle = Db.CreateHandle();
  uint64_t H = Handle;
  EXPECT_EQ(Db.Install(&H, kGuidA, 0x1111), ProtocolStatus::Success);
  EXPECT_EQ(Db.Install(&H, kGuidA, 0x2222), ProtocolStatus::InvalidParameter);
  EXPECT_EQ(Db.Install(&H, kGuidB, 0x3333), ProtocolStatus::Success);
  EXPECT_EQ(H, Handle);

  uint64_t Interface = 0;
  EXPECT_EQ(Db.Lookup(Handle, kGuidA, &Interface), ProtocolStatus::Success);
  EXPECT_EQ(Interface, 0x1111u);  // the first installation stays

  // Handle 0 makes a new handle, which may carry the same protocol.
  uint64_t Fresh = 0;
  EXPECT_EQ(Db.Install(&Fresh, kGuidA, 0x4444), ProtocolStatus::Success);
  EXPECT_NE(Fresh, 0u);
  EXPECT_NE(Fresh, Handle);
  EXPECT_EQ(Db.Entries().size(), 3u);
}

TEST(ProtocolDatabase, RefusesUnknownHandlesAndMissingProtocols) {
  ProtocolDatabase Db(0x7000, 8);
  const uint64_t Handle = Db.CreateHandle();
  EXPECT_EQ(Handle, 0x7000u);
  uint64_t Unknown = 0x7008;
  uint64_t Interface = 0;
  EXPECT_EQ(Db.Install(&Unknown, kGuidA, 1), ProtocolStatus::InvalidParameter);
  EXPECT_EQ(Db.Lookup(Unknown, kGuidA, &Interface), ProtocolStatus::InvalidParameter);
  EXPECT_EQ(Db.Lookup(Handle, kGuidA, &Interface), ProtocolStatus::Unsupported);
  EXPECT_TRUE(Db.Entries().empty());
}

TEST(ProtocolDatabase, StatusesForBothWidths) {
  EXPECT_EQ(host_dxe::EfiStatusOf(ProtocolStatus::Success, 32), 0u);
  EXPECT_EQ(host_dxe::EfiStatusOf(ProtocolStatus::InvalidParameter, 32), 0x80000002u);
  EXPECT_EQ(host_dxe::EfiStatusOf(ProtocolStatus::Unsupported, 64),
            0x8000000000000003u);
  EXPECT_EQ(host_dxe::EfiStatusOf(ProtocolStatus::InvalidParameter, 64),
            EFI_INVALID_PARAMETER);
}

TEST(SimulatedDxe, ServicesFollowTheirSwitches) {
  host_dxe::SimulatedDxe Dxe;
  EFI_BOOT_SERVICES *Bs = Dxe.SystemTable()->BootServices;
  const EFI_GUID LoadedImageGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;

  VOID *Buffer = nullptr;
  ASSERT_EQ(Bs->AllocatePool(EfiBootServicesData, 12, &Buffer), EFI_SUCCESS);
  EXPECT_EQ(static_cast<uint8_t *>(Buffer)[11], host_dxe::SimulatedDxe::kPoolFill);
  Dxe.FailAllocatePool(true);
  EXPECT_EQ(Bs->AllocatePool(EfiBootServicesData, 12, &Buffer), EFI_OUT_OF_RESOURCES);

  VOID *Interface = nullptr;
  EXPECT_EQ(Bs->HandleProtocol(Dxe.ImageHandle(), const_cast<EFI_GUID *>(&LoadedImageGuid),
                               &Interface),
            EFI_SUCCESS);
  EXPECT_EQ(Interface, Dxe.LoadedImage());
  EXPECT_EQ(Bs->HandleProtocol(Dxe.ImageHandle(), const_cast<EFI_GUID *>(&kGuidA), &Interface),
            EFI_UNSUPPORTED);
  Dxe.FailHandleProtocol(EFI_DEVICE_ERROR);
  EXPECT_EQ(Bs->HandleProtocol(Dxe.ImageHandle(), const_cast<EFI_GUID *>(&LoadedImageGuid),
                               &Interface),
            EFI_DEVICE_ERROR);

  EFI_HANDLE Handle = Dxe.ImageHandle();
  int Dummy = 0;
  EXPECT_EQ(Bs->InstallProtocolInterface(&Handle, const_cast<EFI_GUID *>(&LoadedImageGuid),
                                         EFI_NATIVE_INTERFACE, &Dummy),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Dxe.FindInterface(Dxe.ImageHandle(), LoadedImageGuid), Dxe.LoadedImage());
  EXPECT_EQ(Dxe.Calls().size(), 6u);
}
