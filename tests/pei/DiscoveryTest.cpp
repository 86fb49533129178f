// The discovery pass over simulated devices: enumeration of PPI instances
// and devices, the partition sweep, the volume table's stop rules and the
// rebuild of the notify function.
#include <gtest/gtest.h>

#include <string.h>

#include "ntfs_recovery_pei/frame/Frame.h"
#include "tests/pei/PeiTestSupport.h"

namespace {

using HostPlatform::Status;
using PeiTest::BlockDevice;
using PeiTest::BlockDevicePtr;
using PeiTest::Bytes;
using PeiTest::SimulatedPeiPlatform;

const EFI_GUID kBlockIoGuid = EFI_PEI_RECOVERY_BLOCK_IO_PPI_GUID;

// 64 blocks of 512 bytes: zeros, or an NTFS volume written from block 0.
BlockDevicePtr Blank() { return BlockDevice::FromBytes(Bytes(64 * 512, 0)); }
BlockDevicePtr Ntfs() {
  Bytes Disk(64 * 512, 0);
  PeiTest::PutBootSector(Disk, 0);
  return BlockDevice::FromBytes(Disk);
}
// An MBR disk with one partition, whose own probe finds NTFS at block 8.
BlockDevicePtr MbrNtfs() {
  Bytes Disk(64 * 512, 0);
  PeiTest::PutMbr(Disk, {{7, 8, 40}});
  PeiTest::PutBootSector(Disk, 8 * 512);
  return BlockDevice::FromBytes(Disk);
}

std::vector<uint64_t> LocatedInstances(SimulatedPeiPlatform &Platform) {
  std::vector<uint64_t> Instances;
  for (const auto &Call : Platform.Database().LocateCalls()) {
    if (HostPlatform::GuidEquals(Call.Guid, kBlockIoGuid)) {
      Instances.push_back(Call.Instance);
    }
  }
  return Instances;
}

// (instance, device index) of every physical row, in order.
std::vector<std::pair<size_t, int>> PhysicalRows(SimulatedPeiPlatform &Platform) {
  RecoveryContext *Context = Platform.Context();
  std::vector<std::pair<size_t, int>> Rows;
  for (uint32_t I = 0; I < Context->BlockDeviceCount; ++I) {
    const BlockDeviceEntry &Row = Context->BlockDevices[I];
    if (Row.IsPartition) continue;
    size_t Instance = 0;
    while (Platform.BlockIoPpi(Instance) != Row.BlockIo) ++Instance;
    Rows.push_back({Instance, Row.PpiDeviceIndex});
  }
  return Rows;
}

TEST(DiscoveryTest, NoBlockIoPpiLeavesEmptyTables) {
  SimulatedPeiPlatform Platform;
  ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
  EXPECT_EQ(Platform.Context()->BlockDeviceCount, 0u);
  EXPECT_EQ(Platform.Context()->VolumeCount, 0u);
  EXPECT_EQ(LocatedInstances(Platform), std::vector<uint64_t>{0});
}

// Instances without devices or with a failing count are passed over; the
// first instance number LocatePpi refuses ends the enumeration.
TEST(DiscoveryTest, InstanceEnumeration) {
  SimulatedPeiPlatform Platform;
  Platform.AddBlockIoPpi({});                   // 0 devices
  Platform.AddBlockIoPpi({Blank(), Blank()});   // count fails
  Platform.AddBlockIoPpi({Ntfs()});
  Platform.AddBlockIoPpi({Blank()});            // behind the gap
  Platform.AddBlockIoPpi({Blank()});
  Platform.BlockIo(1).FailDeviceCount();
  Platform.Database().FailLocate(kBlockIoGuid, 3);
  ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
  EXPECT_EQ(PhysicalRows(Platform), (std::vector<std::pair<size_t, int>>{{2, 0}}));
  EXPECT_EQ(LocatedInstances(Platform), (std::vector<uint64_t>{0, 1, 2, 3}));
  EXPECT_EQ(Platform.BlockIo(4).DeviceCountCalls(), 0u);
  EXPECT_EQ(Platform.Context()->VolumeCount, 1u);
}

TEST(DiscoveryTest, InstanceNumber32IsNeverAsked) {
  SimulatedPeiPlatform Platform;
  for (int I = 0; I < 33; ++I) Platform.AddBlockIoPpi({Blank()});
  ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
  const std::vector<uint64_t> Located = LocatedInstances(Platform);
  ASSERT_EQ(Located.size(), 32u);
  EXPECT_EQ(Located.back(), 31u);
  EXPECT_EQ(Platform.Context()->BlockDeviceCount, 32u);
  EXPECT_EQ(Platform.BlockIo(32).DeviceCountCalls(), 0u);
}

// Devices without media, or whose media record cannot be read, take no row.
TEST(DiscoveryTest, DevicesWithoutMediaTakeNoRow) {
  SimulatedPeiPlatform Platform;
  auto NoMedia = Blank();
  NoMedia->SetMediaPresent(false);
  auto Failing = Blank();
  Failing->FailMediaInfo(Status::DeviceError);
  Platform.AddBlockIoPpi({Blank(), NoMedia, Failing, Ntfs()});
  ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
  EXPECT_EQ(PhysicalRows(Platform), (std::vector<std::pair<size_t, int>>{{0, 0}, {0, 3}}));
  EXPECT_EQ(Platform.BlockIo(0).MediaInfoQueries(), (std::vector<uint64_t>{0, 1, 2, 3}));
  // The first row holds no volume: the volume table ends there.
  EXPECT_EQ(Platform.Context()->VolumeCount, 0u);
}

TEST(DiscoveryTest, SeventyDevicesFillSixtyFourRows) {
  SimulatedPeiPlatform Platform;
  for (int I = 0; I < 7; ++I) {
    std::vector<BlockDevicePtr> Devices;
    for (int D = 0; D < 10; ++D) Devices.push_back(Blank());
    Platform.AddBlockIoPpi(Devices);
  }
  ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
  RecoveryContext *Context = Platform.Context();
  ASSERT_EQ(Context->BlockDeviceCount, 64u);
  const auto Rows = PhysicalRows(Platform);
  for (int I = 0; I < 64; ++I) {
    EXPECT_EQ(Rows[I], std::make_pair(static_cast<size_t>(I / 10), I % 10));
    EXPECT_EQ(Context->BlockDevices[I].PartitionsScanned, 1);
  }
  for (int I = 0; I < 7; ++I) EXPECT_EQ(Platform.BlockIo(I).DeviceCountCalls(), 1u);
  EXPECT_EQ(Platform.BlockIo(6).MediaInfoQueries().size(), 4u);  // before the table filled
}

// With the table full of physical disks, no partition child is appended,
// yet every row is marked as scanned.
TEST(DiscoveryTest, FullTableGetsNoChildrenButEveryRowIsMarked) {
  SimulatedPeiPlatform Platform;
  std::vector<BlockDevicePtr> Disks;
  for (int I = 0; I < 64; ++I) Disks.push_back(MbrNtfs());
  Platform.AddBlockIoPpi(Disks);
  ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
  RecoveryContext *Context = Platform.Context();
  ASSERT_EQ(Context->BlockDeviceCount, 64u);
  for (int I = 0; I < 64; ++I) {
    EXPECT_EQ(Context->BlockDevices[I].IsPartition, 0);
    EXPECT_EQ(Context->BlockDevices[I].PartitionsScanned, 1);
  }
  EXPECT_EQ(Context->VolumeCount, 64u);  // the table of volumes stops at 64
  for (uint32_t I = 0; I < 64; ++I) {
    EXPECT_EQ(Context->Volumes[I].BlockDeviceIndex, I);
    EXPECT_EQ(Context->Volumes[I].FileSystemType, 0u);
  }
}

// The first row without a volume ends the volume table.
TEST(DiscoveryTest, VolumeTableStopRules) {
  struct Case {
    std::vector<bool> IsNtfs;
    uint32_t Volumes;
  } Cases[] = {
      {{true, false, true}, 1},
      {{false, true, true}, 0},
      {{true, true, false}, 2},
      {{true, true, true}, 3},
  };
  for (const Case &C : Cases) {
    SimulatedPeiPlatform Platform;
    std::vector<BlockDevicePtr> Devices;
    for (bool N : C.IsNtfs) Devices.push_back(N ? Ntfs() : Blank());
    Platform.AddBlockIoPpi(Devices);
    ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
    EXPECT_EQ(Platform.Context()->VolumeCount, C.Volumes);
  }
}

// A disk's MBR children are appended after the last physical row and
// examined in the same sweep; their reads reach the parent undivided.
TEST(DiscoveryTest, ChildrenFollowThePhysicalRows) {
  SimulatedPeiPlatform Platform;
  Platform.AddBlockIoPpi({MbrNtfs(), Ntfs()});
  ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
  RecoveryContext *Context = Platform.Context();
  ASSERT_EQ(Context->BlockDeviceCount, 3u);
  const BlockDeviceEntry &Child = Context->BlockDevices[2];
  EXPECT_EQ(Child.IsPartition, 1);
  EXPECT_EQ(Child.ParentIndex, 0u);
  EXPECT_EQ(Child.StartOffset, 8u * 512u);
  EXPECT_EQ(Child.LastBlock, 39u);
  EXPECT_EQ(Child.PartitionsScanned, 1);
  // Disk and whole-device volume; the child's block 0 is asked of the
  // parent at block 4096, past its end, so the table stops there.
  EXPECT_EQ(Context->VolumeCount, 2u);
}

// A PPI installed after the entry point triggers a full rebuild; a second
// notification over the same devices gives the same tables.
TEST(DiscoveryTest, LatePpiRebuildsBothTables) {
  SimulatedPeiPlatform Platform;
  Platform.AddBlockIoPpi({Blank()});
  ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
  RecoveryContext *Context = Platform.Context();
  EXPECT_EQ(Context->BlockDeviceCount, 1u);
  EXPECT_EQ(Context->VolumeCount, 0u);

  // Discovery takes its services pointer from the IDT; reads use the
  // context's.
  EFI_PEI_SERVICES **Saved = Context->PeiServices;
  Context->PeiServices = reinterpret_cast<EFI_PEI_SERVICES **>(0x1234);
  Platform.AddBlockIoPpi({MbrNtfs()});
  EXPECT_EQ(Platform.NotifyDispatches(), 1u);
  EXPECT_EQ(Platform.DeviceCountServices().back(), Platform.Services());
  EXPECT_EQ(Platform.Trace().Reads().back().PeiServices, 0x1234u);
  Context->PeiServices = Saved;
  EXPECT_EQ(Context->BlockDeviceCount, 3u);  // both disks and one child
  EXPECT_EQ(Context->VolumeCount, 0u);      // row 0 is still blank

  const size_t TableBytes = offsetof(RecoveryContext, FileExtents) -
                            offsetof(RecoveryContext, BlockDeviceCount);
  Bytes Before(TableBytes);
  memcpy(Before.data(), &Context->BlockDeviceCount, TableBytes);
  EXPECT_EQ(OnRecoveryBlockIoInstalled(nullptr, nullptr, nullptr), EFI_SUCCESS);
  EXPECT_EQ(0, memcmp(Before.data(), &Context->BlockDeviceCount, TableBytes));
}

// Rows are reused from pass to pass: each kind of row writes only its own
// fields, and the others keep what the row last held (a physical row keeps
// a former child's StartOffset and ParentIndex, a child a former device's
// BlockIo, PpiDeviceIndex and DeviceType).
TEST(DiscoveryTest, RowsKeepTheFieldsTheirKindDoesNotWrite) {
  SimulatedPeiPlatform Platform;
  auto Second = Blank();
  Second->SetDeviceType(HostPlatform::kSdCard);
  Platform.AddBlockIoPpi({MbrNtfs(), Second});
  ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
  RecoveryContext *Context = Platform.Context();
  ASSERT_EQ(Context->BlockDeviceCount, 3u);  // both disks, the child of row 0

  Second->SetMediaPresent(false);  // row 1 becomes the child
  OnRecoveryBlockIoInstalled(nullptr, nullptr, nullptr);
  ASSERT_EQ(Context->BlockDeviceCount, 2u);
  const BlockDeviceEntry &Row = Context->BlockDevices[1];
  EXPECT_EQ(Row.IsPartition, 1);
  EXPECT_EQ(Row.StartOffset, 8u * 512u);
  EXPECT_EQ(Row.ParentIndex, 0u);
  EXPECT_EQ(Row.BlockIo, Platform.BlockIoPpi(0));
  EXPECT_EQ(Row.PpiDeviceIndex, 1);
  EXPECT_EQ(Row.DeviceType, static_cast<uint32_t>(HostPlatform::kSdCard));

  Second->SetMediaPresent(true);  // and a device again
  OnRecoveryBlockIoInstalled(nullptr, nullptr, nullptr);
  ASSERT_EQ(Context->BlockDeviceCount, 3u);
  EXPECT_EQ(Row.IsPartition, 0);
  EXPECT_EQ(Row.BlockIo, Platform.BlockIoPpi(0));
  EXPECT_EQ(Row.StartOffset, 8u * 512u);
  EXPECT_EQ(Row.ParentIndex, 0u);
}

// A device index the row cannot hold (above 255) is never recorded, and an
// absurd device count does not keep the pass asking.
TEST(DiscoveryTest, DeviceIndexesBeyondEightBitsAreNotRecorded) {
  SimulatedPeiPlatform Platform;
  std::vector<BlockDevicePtr> Devices;
  for (int I = 0; I < 300; ++I) {
    auto Device = BlockDevice::FromBytes(Bytes(512, 0));
    Device->SetMediaPresent(I >= 256);
    Devices.push_back(Device);
  }
  Platform.AddBlockIoPpi(Devices);
  Platform.AddBlockIoPpi({Blank()});
  Platform.BlockIo(1).ReportDeviceCount(0xFFFFFFFFu);
  ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
  EXPECT_EQ(PhysicalRows(Platform), (std::vector<std::pair<size_t, int>>{{1, 0}}));
  EXPECT_EQ(Platform.BlockIo(0).MediaInfoQueries().size(), 256u);
  EXPECT_EQ(Platform.BlockIo(1).MediaInfoQueries().size(), 256u);
}

}  // namespace

namespace {

// Damaged partition tables, GPT headers, volume descriptors and boot
// catalogs: whatever the bytes, the pass ends, reads only inside its
// buffers (the sanitizers watch) and leaves a sound table.
TEST(DiscoveryTest, CorruptedStructuresKeepTablesSound) {
  Bytes Disk(64 * 512, 0);
  PeiTest::PutGpt(Disk, 512, 2, {{PeiTest::kBasicDataType, 40}});
  PeiTest::PutBootSector(Disk, 40 * 512);
  Bytes Cd(40 * PeiTest::kCdSector, 0);
  PeiTest::PutVolumeDescriptor(Cd, 16, 1, 40);
  PeiTest::PutBootRecord(Cd, 17, 19);
  PeiTest::PutVolumeDescriptor(Cd, 18, 0xFF);
  PeiTest::CatalogEntrySpec Entry;
  Entry.MediaType = 4;
  Entry.SectorCount = 8;
  Entry.LoadRba = 20;  // a hard-disk image holding an MBR of its own
  PeiTest::PutCatalog(Cd, 19, {Entry, Entry});
  PeiTest::PutMbr(Cd, {{7, 0, 0}}, true, 20 * PeiTest::kCdSector);

  SimulatedPeiPlatform Platform;
  auto DiskDevice = BlockDevice::FromBytes(Disk);
  auto CdDevice = BlockDevice::FromBytes(Cd, PeiTest::kCdSector);
  Platform.AddBlockIoPpi({CdDevice, DiskDevice});
  ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
  RecoveryContext *Context = Platform.Context();

  // Byte ranges worth damaging: MBR records and signature, GPT header and
  // entries; descriptors, boot record and catalog.
  struct Target {
    std::vector<uint8_t> *Store;
    uint32_t First, Count;
  } Targets[] = {
      {DiskDevice->MemoryStore(), 0x1BE, 66},
      {DiskDevice->MemoryStore(), 512, 0x50},
      {DiskDevice->MemoryStore(), 1024, 160},
      {CdDevice->MemoryStore(), 16 * 2048, 0x58},
      {CdDevice->MemoryStore(), 17 * 2048, 0x4C},
      {CdDevice->MemoryStore(), 19 * 2048, 96},
  };
  uint32_t Seed = 12345;
  for (const Target &T : Targets) {
    for (uint32_t Round = 0; Round < 1000; ++Round) {
      Seed = Seed * 1103515245u + 12345u;
      const uint32_t Offset = T.First + (Seed >> 8) % T.Count;
      const uint8_t Saved = (*T.Store)[Offset];
      (*T.Store)[Offset] = static_cast<uint8_t>(Seed >> 24);
      ASSERT_EQ(DiscoverDevicesAndVolumes(Context), EFI_SUCCESS);
      ASSERT_GE(Context->BlockDeviceCount, 2u);
      ASSERT_LE(Context->BlockDeviceCount, 64u);
      ASSERT_LE(Context->VolumeCount, Context->BlockDeviceCount);
      for (uint32_t I = 0; I < Context->BlockDeviceCount; ++I) {
        const BlockDeviceEntry &Row = Context->BlockDevices[I];
        ASSERT_EQ(Row.PartitionsScanned, 1);
        if (Row.IsPartition) {
          ASSERT_LT(Row.ParentIndex, I);
        }
      }
      (*T.Store)[Offset] = Saved;
    }
  }
  EXPECT_GT(Platform.Trace().ReadCount(), 6000u * 5u);  // every pass read
}

}  // namespace
