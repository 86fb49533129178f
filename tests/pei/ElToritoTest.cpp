// El Torito partition discovery on byte fixtures of 2048-byte sectors.
#include <gtest/gtest.h>

#include <functional>

#include "ntfs_recovery_pei/block/Block.h"
#include "tests/pei/PeiTestSupport.h"

namespace {

using PeiTest::BareContext;
using PeiTest::Bytes;
using PeiTest::CatalogEntrySpec;
using PeiTest::ValidationSpec;

struct Child {
  uint32_t BlockSize;
  uint64_t LastBlock;
  uint64_t StartOffset;
};

struct Case {
  const char *Name;
  uint64_t LastBlock;  // of the CD row
  std::function<void(Bytes &)> Build;
  std::vector<Child> Expected;
};

// Primary descriptor (volume space size Space) at 16, boot record at 17
// naming the catalog at 19, terminator at 18, the given catalog entries.
std::function<void(Bytes &)> StandardCd(std::vector<CatalogEntrySpec> Entries,
                                        uint32_t Space = 1000,
                                        ValidationSpec Validation = {}) {
  return [=](Bytes &B) {
    PeiTest::PutVolumeDescriptor(B, 16, 1, Space);
    PeiTest::PutBootRecord(B, 17, 19);
    PeiTest::PutVolumeDescriptor(B, 18, 0xFF);
    PeiTest::PutCatalog(B, 19, Entries, Validation);
  };
}

CatalogEntrySpec Entry(uint8_t Media, uint16_t Count, uint32_t Rba,
                       uint8_t Indicator = 0x88) {
  CatalogEntrySpec E;
  E.Indicator = Indicator;
  E.MediaType = Media;
  E.SectorCount = Count;
  E.LoadRba = Rba;
  return E;
}

TEST(ElToritoTest, CatalogEntriesBecomeChildren) {
  const Case Cases[] = {
      {"no emulation, 4 sectors", 99, StandardCd({Entry(0, 4, 30)}),
       {{2048, 3, 61440}}},
      {"1.2 MB diskette", 99, StandardCd({Entry(1, 4, 30)}), {{512, 2399, 61440}}},
      {"1.44 MB diskette", 99, StandardCd({Entry(2, 4, 30)}), {{512, 2879, 61440}}},
      {"2.88 MB diskette", 99, StandardCd({Entry(3, 4, 30)}), {{512, 5759, 61440}}},
      {"hard disk, its sector count", 99, StandardCd({Entry(4, 9, 30)}), {{512, 8, 61440}}},
      {"high media bits ignored", 99, StandardCd({Entry(0x12, 4, 30)}),
       {{512, 2879, 61440}}},
      {"reserved type sized by the rule", 1999, StandardCd({Entry(7, 50, 30)}),
       {{2048, 969, 61440}}},
      {"rule: volume end", 1999, StandardCd({Entry(0, 1, 30)}), {{2048, 969, 61440}}},
      {"rule: device end nearer", 499, StandardCd({Entry(0, 1, 30)}),
       {{2048, 469, 61440}}},
      {"rule for a hard disk counts sectors as blocks", 1999,
       StandardCd({Entry(4, 0, 30)}), {{512, 969, 61440}}},
      {"not bootable and RBA 0 skipped", 99,
       StandardCd({Entry(0, 4, 30, 0x00), Entry(0, 4, 0), Entry(0, 2, 40)}),
       {{2048, 1, 81920}}},
      {"bad checksum", 99, StandardCd({Entry(0, 4, 30)}, 1000, {1, 0xAA55, true}), {}},
      {"header ID 0", 99, StandardCd({Entry(0, 4, 30)}, 1000, {0, 0xAA55, false}), {}},
      {"key 0x55AA", 99, StandardCd({Entry(0, 4, 30)}, 1000, {1, 0x55AA, false}), {}},
      {"boot record before the primary descriptor", 99,
       [](Bytes &B) {
         PeiTest::PutBootRecord(B, 16, 19);
         PeiTest::PutVolumeDescriptor(B, 17, 1, 1000);
         PeiTest::PutVolumeDescriptor(B, 18, 0xFF);
         PeiTest::PutCatalog(B, 19, {Entry(0, 0, 30)});
       },
       {{2048, 0xFFFFFFFFull - 30, 61440}}},
      {"every boot record's catalog", 99,
       [](Bytes &B) {
         PeiTest::PutBootRecord(B, 16, 20);
         PeiTest::PutBootRecord(B, 17, 21);
         PeiTest::PutVolumeDescriptor(B, 18, 0xFF);
         PeiTest::PutCatalog(B, 20, {Entry(0, 4, 30)});
         PeiTest::PutCatalog(B, 21, {Entry(2, 4, 31)});
       },
       {{2048, 3, 61440}, {512, 2879, 63488}}},
      {"catalog beyond the device skipped", 99,
       [](Bytes &B) {
         PeiTest::PutBootRecord(B, 16, 100);
         PeiTest::PutBootRecord(B, 17, 19);
         PeiTest::PutCatalog(B, 19, {Entry(0, 4, 30)});
       },
       {{2048, 3, 61440}}},
      {"a sector without CD001 ends the scan", 99,
       [](Bytes &B) {
         PeiTest::PutVolumeDescriptor(B, 16, 1, 1000);
         PeiTest::PutBootRecord(B, 18, 19);
         PeiTest::PutCatalog(B, 19, {Entry(0, 4, 30)});
       },
       {}},
      {"the device's end ends the scan", 16,
       [](Bytes &B) { PeiTest::PutVolumeDescriptor(B, 16, 1, 1000); }, {}},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    BareContext Bare;
    Bytes Image(40 * PeiTest::kCdSector, 0);
    C.Build(Image);
    const uint32_t Cd = Bare.AddDisk(Image, PeiTest::kCdSector);
    Bare.Row(Cd).LastBlock = C.LastBlock;
    const BOOLEAN Result = DiscoverElToritoPartitions(Bare.Context.get(), Cd);
    EXPECT_EQ(Result, C.Expected.empty() ? FALSE : TRUE);
    EXPECT_EQ(Bare.Row(Cd).PartitionsScanned, 1);
    ASSERT_EQ(Bare.Context->BlockDeviceCount, 1 + C.Expected.size());
    for (size_t I = 0; I < C.Expected.size(); ++I) {
      const BlockDeviceEntry &Row = Bare.Row(1 + I);
      EXPECT_EQ(Row.BlockSize, C.Expected[I].BlockSize) << "child " << I;
      EXPECT_EQ(Row.LastBlock, C.Expected[I].LastBlock) << "child " << I;
      EXPECT_EQ(Row.StartOffset, C.Expected[I].StartOffset) << "child " << I;
      EXPECT_EQ(Row.IsPartition, 1);
      EXPECT_EQ(Row.PartitionsScanned, 0);
      EXPECT_EQ(Row.ParentIndex, Cd);
    }
  }
}

TEST(ElToritoTest, OnlyCdRowsAreExaminedAndMarked) {
  BareContext Bare;
  Bare.AddDisk(Bytes(40 * 512, 0), 512);
  Bare.AddDisk(Bytes(16 * PeiTest::kCdSector, 0), PeiTest::kCdSector);
  ASSERT_EQ(Bare.Row(1).LastBlock, 15u);
  EXPECT_FALSE(DiscoverElToritoPartitions(Bare.Context.get(), 0));
  EXPECT_EQ(Bare.Row(0).PartitionsScanned, 0);  // 512-byte blocks: not marked
  EXPECT_FALSE(DiscoverElToritoPartitions(Bare.Context.get(), 1));
  EXPECT_EQ(Bare.Row(1).PartitionsScanned, 1);  // last block 15: marked
  EXPECT_EQ(Bare.Platform.Trace().ReadCount(), 0u);
  EXPECT_FALSE(DiscoverElToritoPartitions(Bare.Context.get(), 64));
}

TEST(ElToritoTest, ReadFailures) {
  Bytes Image(40 * PeiTest::kCdSector, 0);
  StandardCd({Entry(0, 4, 30)})(Image);
  {  // a failed catalog read skips that boot record only
    BareContext Bare;
    auto Cd = PeiTest::BlockDevice::FromBytes(Image, PeiTest::kCdSector);
    Cd->FailBlockRange(19, 19);
    Bare.AddPhysicalRows({Cd});
    EXPECT_FALSE(DiscoverElToritoPartitions(Bare.Context.get(), 0));
    EXPECT_EQ(Bare.Context->BlockDeviceCount, 1u);
    EXPECT_EQ(Bare.Row(0).PartitionsScanned, 1);
    EXPECT_EQ(Bare.Platform.Trace().ReadCount(), 4u);  // 16, 17, 19, 18
  }
  {  // a failed descriptor read ends the scan
    BareContext Bare;
    auto Cd = PeiTest::BlockDevice::FromBytes(Image, PeiTest::kCdSector);
    Cd->FailBlockRange(17, 17);
    Bare.AddPhysicalRows({Cd});
    EXPECT_FALSE(DiscoverElToritoPartitions(Bare.Context.get(), 0));
    EXPECT_EQ(Bare.Platform.Trace().ReadCount(), 2u);
  }
}

TEST(ElToritoTest, FullTableSkipsEntries) {
  BareContext Bare;
  Bytes Image(40 * PeiTest::kCdSector, 0);
  StandardCd({Entry(0, 4, 30), Entry(0, 4, 34)})(Image);
  Bare.AddDisk(Image, PeiTest::kCdSector);
  Bare.Context->BlockDeviceCount = 63;
  EXPECT_TRUE(DiscoverElToritoPartitions(Bare.Context.get(), 0));
  EXPECT_EQ(Bare.Context->BlockDeviceCount, 64u);
  EXPECT_EQ(Bare.Row(63).StartOffset, 30u * 2048u);
}

// A child appended over a row of an earlier pass writes its own fields only:
// the former device's BlockIo, PpiDeviceIndex and DeviceType stay.
TEST(ElToritoTest, ChildKeepsTheFieldsItDoesNotWrite) {
  BareContext Bare;
  Bytes Image(40 * PeiTest::kCdSector, 0);
  StandardCd({Entry(0, 4, 30)})(Image);
  Bare.AddDisk(Image, PeiTest::kCdSector);
  BlockDeviceEntry &Former = Bare.Row(1);
  Former.BlockIo = Bare.Row(0).BlockIo;
  Former.PpiDeviceIndex = 7;
  Former.DeviceType = 5;
  ASSERT_TRUE(DiscoverElToritoPartitions(Bare.Context.get(), 0));
  EXPECT_EQ(Former.IsPartition, 1);
  EXPECT_EQ(Former.StartOffset, 61440u);
  EXPECT_EQ(Former.BlockIo, Bare.Row(0).BlockIo);
  EXPECT_EQ(Former.PpiDeviceIndex, 7);
  EXPECT_EQ(Former.DeviceType, 5u);
}

}  // namespace
