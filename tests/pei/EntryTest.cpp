// The entry point: its statuses and the state it leaves.
#include <gtest/gtest.h>

#include <string.h>

#include "ntfs_recovery_pei/frame/Frame.h"
#include "tests/pei/PeiTestSupport.h"

namespace {

using HostPlatform::Status;
using PeiTest::SimulatedPeiPlatform;

const EFI_GUID kBlockIoGuid = EFI_PEI_RECOVERY_BLOCK_IO_PPI_GUID;
const EFI_GUID kRecoveryGuid = EFI_PEI_DEVICE_RECOVERY_MODULE_PPI_GUID;
constexpr UINTN kContextPages = (sizeof(RecoveryContext) + 4095) / 4096;

uint64_t BlockIoLocates(SimulatedPeiPlatform &Platform) {
  uint64_t Count = 0;
  for (const auto &Call : Platform.Database().LocateCalls()) {
    if (HostPlatform::GuidEquals(Call.Guid, kBlockIoGuid)) ++Count;
  }
  return Count;
}

TEST(EntryTest, AllocationFailurePublishesNothing) {
  struct Case {
    const char *Name;
    bool Fail;
    EFI_PHYSICAL_ADDRESS Address;
  } Cases[] = {
      {"AllocatePages fails", true, 0},
      {"pages above 4 GiB", false, 0x100000000ull},
      {"pages running past 4 GiB", false, 0x100000000ull - 4096},
  };
  for (const Case &C : Cases) {
    SimulatedPeiPlatform Platform;
    Platform.FailAllocatePages(C.Fail);
    if (!C.Fail) Platform.ReportNextAllocationAt(C.Address);
    EXPECT_EQ(Platform.RunEntryPoint(), EFI_OUT_OF_RESOURCES) << C.Name;
    EXPECT_EQ(Platform.RecoveryPpi(), nullptr) << C.Name;
    EXPECT_TRUE(Platform.Database().Notifications().empty()) << C.Name;
    EXPECT_EQ(gRecoveryContext, nullptr) << C.Name;
    EXPECT_EQ(BlockIoLocates(Platform), 0u) << C.Name;
  }
}

TEST(EntryTest, InstallFailureEndsTheEntry) {
  SimulatedPeiPlatform Platform;
  Platform.AddBlockIoPpi({PeiTest::BlockDevice::FromBytes(PeiTest::Bytes(4096))});
  Platform.Database().SetInstallFailure(Status::OutOfResources);
  EXPECT_EQ(Platform.RunEntryPoint(), EFI_OUT_OF_RESOURCES);
  ASSERT_EQ(Platform.Allocations().size(), 1u);  // the pages stay allocated
  EXPECT_EQ(BlockIoLocates(Platform), 0u);       // no discovery pass
  EXPECT_TRUE(Platform.Database().Notifications().empty());
  EXPECT_EQ(gRecoveryContext, nullptr);
  auto *Context = reinterpret_cast<RecoveryContext *>(
      static_cast<uintptr_t>(Platform.Allocations()[0].Address));
  EXPECT_EQ(Context->Signature, RECOVERY_CONTEXT_SIGNATURE);
  EXPECT_EQ(Context->PpiDescriptor.Ppi, &Context->RecoveryPpi);
  EXPECT_EQ(Context->NotifyDescriptor.Flags, 0u);
}

// The result is NotifyPpi's status, with or without devices; after a
// failed registration later block I/O PPIs are not followed.
TEST(EntryTest, ResultIsTheStatusOfNotifyPpi) {
  {
    SimulatedPeiPlatform Platform;
    EXPECT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
    EXPECT_EQ(Platform.Database().Notifications().size(), 1u);
  }
  {
    SimulatedPeiPlatform Platform;
    Platform.Database().SetNotifyStatus(Status::OutOfResources);
    EXPECT_EQ(Platform.RunEntryPoint(), EFI_OUT_OF_RESOURCES);
    RecoveryContext *Context = Platform.Context();
    ASSERT_NE(Context, nullptr);
    EXPECT_EQ(gRecoveryContext, Context);
    PeiTest::Bytes Disk(64 * 512, 0);
    PeiTest::PutBootSector(Disk, 0);
    Platform.AddBlockIoPpi({PeiTest::BlockDevice::FromBytes(Disk)});
    EXPECT_EQ(Platform.NotifyDispatches(), 0u);
    EXPECT_EQ(Context->BlockDeviceCount, 0u);
  }
}

// Right after a successful entry: the fields steps 3 to 6 set, and zeros
// everywhere else (the platform hands out pages filled with 0xA5).
TEST(EntryTest, FilledContextAndZerosElsewhere) {
  SimulatedPeiPlatform Platform;
  ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
  ASSERT_EQ(Platform.Allocations().size(), 1u);
  EXPECT_EQ(Platform.Allocations()[0].MemoryType, EfiBootServicesCode);
  EXPECT_EQ(Platform.Allocations()[0].Pages, kContextPages);
  EXPECT_EQ(Platform.SetMemCalls(), 1u);

  RecoveryContext *Context = Platform.Context();
  ASSERT_NE(Context, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(Context), Platform.Allocations()[0].Address);
  EXPECT_EQ(gRecoveryContext, Context);
  EXPECT_EQ(Platform.RecoveryPpi(), &Context->RecoveryPpi);
  EXPECT_EQ(ContextFromPpi(Platform.RecoveryPpi()), Context);

  EXPECT_EQ(0, memcmp(&Context->Signature, "ntfs", 4));
  EXPECT_EQ(Context->PeiServices, Platform.Services());
  EXPECT_EQ(Context->RecoveryPpi.GetNumberRecoveryCapsules, &GetNumberRecoveryCapsules);
  EXPECT_EQ(Context->RecoveryPpi.GetRecoveryCapsuleInfo, &GetRecoveryCapsuleInfo);
  EXPECT_EQ(Context->RecoveryPpi.LoadRecoveryCapsule, &LoadRecoveryCapsule);
  EXPECT_EQ(Context->PpiDescriptor.Flags, 0x80000010u);
  EXPECT_TRUE(GuidsEqual(Context->PpiDescriptor.Guid, &kRecoveryGuid));
  EXPECT_EQ(Context->PpiDescriptor.Ppi, &Context->RecoveryPpi);
  EXPECT_EQ(Context->NotifyDescriptor.Flags, 0x80000020u);
  EXPECT_TRUE(GuidsEqual(Context->NotifyDescriptor.Guid, &kBlockIoGuid));
  EXPECT_EQ(Context->NotifyDescriptor.Notify, &OnRecoveryBlockIoInstalled);

  const auto &Notes = Platform.Database().Notifications();
  ASSERT_EQ(Notes.size(), 1u);
  EXPECT_EQ(Notes[0].Descriptor, reinterpret_cast<uintptr_t>(&Context->NotifyDescriptor));

  RecoveryContext Rest;
  memcpy(&Rest, Context, sizeof(Rest));
  Rest.Signature = 0;
  Rest.PeiServices = nullptr;
  memset(&Rest.RecoveryPpi, 0, sizeof(Rest.RecoveryPpi));
  memset(&Rest.PpiDescriptor, 0, sizeof(Rest.PpiDescriptor));
  memset(&Rest.NotifyDescriptor, 0, sizeof(Rest.NotifyDescriptor));
  const uint8_t *Bytes = reinterpret_cast<const uint8_t *>(&Rest);
  for (size_t I = 0; I < sizeof(Rest); ++I) {
    ASSERT_EQ(Bytes[I], 0) << "byte " << I;
  }
}

// A member called through the published PPI reaches the context the entry
// filled: it stores its own services pointer there and reads its tables.
TEST(EntryTest, ThisLeadsToTheFilledContext) {
  SimulatedPeiPlatform Platform;
  PeiTest::Bytes Disk(64 * 512, 0);
  PeiTest::PutBootSector(Disk, 0);
  Platform.AddBlockIoPpi({PeiTest::BlockDevice::FromBytes(Disk)});
  ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
  EFI_PEI_DEVICE_RECOVERY_MODULE_PPI *Ppi = Platform.RecoveryPpi();
  ASSERT_NE(Ppi, nullptr);
  EFI_PEI_SERVICES *OtherTable = *Platform.Services();
  EFI_PEI_SERVICES **Other = &OtherTable;
  UINTN Count = 0;
  ASSERT_EQ(Ppi->GetNumberRecoveryCapsules(Other, Ppi, &Count), EFI_SUCCESS);
  EXPECT_EQ(Count, 1u);
  EXPECT_EQ(gRecoveryContext->PeiServices, Other);
  EXPECT_EQ(gRecoveryContext->VolumeCount, 1u);
}

}  // namespace
