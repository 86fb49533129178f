// The NTFS volume probe and the partition location on byte fixtures.
#include <gtest/gtest.h>

#include <functional>

#include "ntfs_recovery_pei/block/Block.h"
#include "tests/pei/PeiTestSupport.h"

namespace {

using HostPlatform::Status;
using PeiTest::BareContext;
using PeiTest::BootSectorSpec;
using PeiTest::Bytes;
using PeiTest::GptEntrySpec;
using PeiTest::kBasicDataType;
using PeiTest::kEspType;

constexpr uint32_t kUntouched = 0x5555;
constexpr uint32_t kDiskBlocks = 64;

struct LayoutCase {
  const char *Name;
  uint32_t BlockSize;
  std::function<void(Bytes &)> Build;
  EFI_STATUS ProbeStatus;
  uint32_t FileSystemType;  // after the probe
  EFI_STATUS LocateStatus;
  uint64_t Start;           // from LocateNtfsPartition on success
};

// Places an NTFS boot sector at Block of a disk of 512-byte blocks.
void BootAt(Bytes &B, uint64_t Block) { PeiTest::PutBootSector(B, Block * 512); }

TEST(NtfsProbeTest, PartitionTableRules) {
  const LayoutCase Cases[] = {
      {"whole device", 512, [](Bytes &B) { BootAt(B, 0); }, EFI_SUCCESS, 0,
       EFI_SUCCESS, 0},
      {"MBR type 7 in record 1", 512,
       [](Bytes &B) {
         PeiTest::PutMbr(B, {{0x0C, 2, 5}, {7, 10, 20}});
         BootAt(B, 10);
       },
       EFI_SUCCESS, 0, EFI_SUCCESS, 10},
      {"lower-numbered type 7 wins", 512,
       [](Bytes &B) {
         PeiTest::PutMbr(B, {{7, 20, 5}, {0, 0, 0}, {7, 10, 5}});
         BootAt(B, 10);
       },
       EFI_NOT_FOUND, 2, EFI_SUCCESS, 20},
      {"no type 7: the MBR itself is read as boot sector", 512,
       [](Bytes &B) { PeiTest::PutMbr(B, {{0x83, 10, 5}}); }, EFI_NOT_FOUND, 2,
       EFI_SUCCESS, 0},
      {"start of 2^31 or more is zero-extended", 512,
       [](Bytes &B) { PeiTest::PutMbr(B, {{7, 0x80000000u, 5}}); },
       EFI_DEVICE_ERROR, kUntouched, EFI_SUCCESS, 0x80000000ull},
      {"0xEE in record 1 does not select GPT", 512,
       [](Bytes &B) {
         PeiTest::PutMbr(B, {{0x0C, 2, 5}, {0xEE, 1, 60}, {7, 12, 5}});
         BootAt(B, 12);
       },
       EFI_SUCCESS, 0, EFI_SUCCESS, 12},
      {"GPT, basic data in entry index 2", 512,
       [](Bytes &B) {
         PeiTest::PutGpt(B, 512, 2, {{kEspType, 34}, {nullptr, 0}, {kBasicDataType, 40}});
         BootAt(B, 40);
       },
       EFI_SUCCESS, 0, EFI_SUCCESS, 40},
      {"GPT, two basic data entries: the first wins", 512,
       [](Bytes &B) {
         PeiTest::PutGpt(B, 512, 2, {{kBasicDataType, 40}, {kBasicDataType, 50}});
         BootAt(B, 50);
       },
       EFI_NOT_FOUND, 2, EFI_SUCCESS, 40},
      {"GPT, basic data in entry index 8 is not seen", 512,
       [](Bytes &B) {
         std::vector<GptEntrySpec> Entries(8, GptEntrySpec{kEspType, 34});
         Entries.push_back({kBasicDataType, 40});
         PeiTest::PutGpt(B, 512, 2, Entries);
         BootAt(B, 40);
       },
       EFI_NOT_FOUND, 2, EFI_SUCCESS, 0},
      {"GPT ignores a type-7 record", 512,
       [](Bytes &B) {
         PeiTest::PutGpt(B, 512, 2, {{kBasicDataType, 40}});
         PeiTest::PutMbr(B, {{0xEE, 1, 63}, {7, 10, 5}});
         BootAt(B, 10);
       },
       EFI_NOT_FOUND, 2, EFI_SUCCESS, 40},
      {"GPT on 4096-byte blocks", 4096,
       [](Bytes &B) {
         PeiTest::PutGpt(B, 4096, 2, {{kBasicDataType, 5}});
         PeiTest::PutBootSector(B, 5 * 4096);
       },
       EFI_SUCCESS, 0, EFI_SUCCESS, 5},
      {"protective MBR without EFI PART", 512,
       [](Bytes &B) { PeiTest::PutMbr(B, {{0xEE, 1, 63}}); }, EFI_NOT_FOUND,
       kUntouched, EFI_NOT_FOUND, 0},
      {"GPT entry array beyond the device", 512,
       [](Bytes &B) { PeiTest::PutGpt(B, 512, 1000, {}); }, EFI_DEVICE_ERROR,
       kUntouched, EFI_DEVICE_ERROR, 0},
      {"no signature", 512,
       [](Bytes &B) {
         BootSectorSpec S;
         S.Signature = false;
         PeiTest::PutBootSector(B, 0, S);
       },
       EFI_DEVICE_ERROR, kUntouched, EFI_DEVICE_ERROR, 0},
  };
  for (const LayoutCase &C : Cases) {
    SCOPED_TRACE(C.Name);
    BareContext Bare;
    Bytes Image(static_cast<size_t>(kDiskBlocks) * C.BlockSize, 0);
    C.Build(Image);
    Bare.AddDisk(Image, C.BlockSize);
    VolumeEntry Volume = {0, kUntouched};
    EXPECT_EQ(ProbeNtfsVolume(Bare.Context.get(), &Volume), C.ProbeStatus);
    EXPECT_EQ(Volume.FileSystemType, C.FileSystemType);
    EXPECT_EQ(Volume.BlockDeviceIndex, 0u);
    UINT64 Start = 0xDEAD;
    EXPECT_EQ(LocateNtfsPartition(Bare.Context.get(), &Start), C.LocateStatus);
    EXPECT_EQ(Start, C.LocateStatus == EFI_SUCCESS ? C.Start : 0xDEADu);
  }
}

struct BootCase {
  const char *Name;
  std::function<void(BootSectorSpec &)> Change;
  EFI_STATUS Expected;
  uint32_t FileSystemType;
};

TEST(NtfsProbeTest, BootSectorAcceptance) {
  std::vector<BootCase> Cases = {
      {"accepted", [](BootSectorSpec &) {}, EFI_SUCCESS, 0},
      {"OEM not NTFS", [](BootSectorSpec &S) { S.Oem = "MSDOS5.0"; }, EFI_NOT_FOUND, 2},
      {"only the first four OEM bytes count", [](BootSectorSpec &S) { S.Oem = "NTFSXXXX"; },
       EFI_SUCCESS, 0},
      {"one FAT", [](BootSectorSpec &S) { S.Fats = 1; }, EFI_NOT_FOUND, 0},
      {"root entries, low byte", [](BootSectorSpec &S) { S.RootEntries = 0x0001; },
       EFI_NOT_FOUND, 0},
      {"root entries, high byte", [](BootSectorSpec &S) { S.RootEntries = 0x0100; },
       EFI_NOT_FOUND, 0},
      {"sectors per FAT", [](BootSectorSpec &S) { S.SectorsPerFat = 0x0100; },
       EFI_NOT_FOUND, 0},
      {"4096 with 8 sectors per cluster",
       [](BootSectorSpec &S) { S.BytesPerSector = 4096; S.SectorsPerCluster = 8; },
       EFI_SUCCESS, 0},
      {"4096 with 64 sectors per cluster",
       [](BootSectorSpec &S) { S.BytesPerSector = 4096; S.SectorsPerCluster = 64; },
       EFI_NOT_FOUND, 0},
      {"512 with 0 sectors per cluster",
       [](BootSectorSpec &S) { S.BytesPerSector = 512; S.SectorsPerCluster = 0; },
       EFI_SUCCESS, 0},
      {"256 bytes per sector", [](BootSectorSpec &S) { S.BytesPerSector = 256; },
       EFI_SUCCESS, 0},
      {"0 bytes per sector, 32 per cluster",
       [](BootSectorSpec &S) { S.BytesPerSector = 0; S.SectorsPerCluster = 32; },
       EFI_SUCCESS, 0},
  };
  const uint8_t Accepted[] = {0xF0, 0xF8, 0xF9, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF, 0x00, 0x01, 0xFA};
  for (int Media = 0; Media < 256; ++Media) {
    bool Ok = false;
    for (uint8_t A : Accepted) Ok = Ok || A == Media;
    Cases.push_back({"media descriptor",
                     [Media](BootSectorSpec &S) { S.Media = static_cast<uint8_t>(Media); },
                     Ok ? EFI_SUCCESS : EFI_NOT_FOUND, 0});
  }
  for (const BootCase &C : Cases) {
    BareContext Bare;
    Bytes Image(kDiskBlocks * 512, 0);
    BootSectorSpec Sector;
    C.Change(Sector);
    PeiTest::PutBootSector(Image, 0, Sector);
    Bare.AddDisk(Image);
    VolumeEntry Volume = {0, kUntouched};
    EXPECT_EQ(ProbeNtfsVolume(Bare.Context.get(), &Volume), C.Expected)
        << C.Name << " media " << int(Sector.Media);
    EXPECT_EQ(Volume.FileSystemType, C.FileSystemType) << C.Name;
  }
}

// Each read's failure comes back unchanged; the probe writes its type only
// once the boot sector was read.
TEST(NtfsProbeTest, ReadFailuresPassThrough) {
  Bytes Image(kDiskBlocks * 512, 0);
  PeiTest::PutGpt(Image, 512, 2, {{kBasicDataType, 40}});
  BootAt(Image, 40);
  const uint64_t Blocks[] = {0, 1, 2, 40};
  for (uint64_t Block : Blocks) {
    BareContext Bare;
    auto Disk = PeiTest::BlockDevice::FromBytes(Image);
    Disk->FailBlockRange(Block, Block, Status::NoMedia);
    Bare.AddPhysicalRows({Disk});
    VolumeEntry Volume = {0, kUntouched};
    EXPECT_EQ(ProbeNtfsVolume(Bare.Context.get(), &Volume), EFI_NO_MEDIA) << Block;
    EXPECT_EQ(Volume.FileSystemType, kUntouched) << Block;
    UINT64 Start = 0;
    EXPECT_EQ(LocateNtfsPartition(Bare.Context.get(), &Start),
              Block == 40 ? EFI_SUCCESS : EFI_NO_MEDIA)
        << Block;
  }
}

// The reads: 512 bytes at blocks 0, 1 and S, and 1024 bytes of entries,
// whatever the device's block size; LocateNtfsPartition uses row 0 only.
TEST(NtfsProbeTest, ReadsFixedByteCounts) {
  BareContext Bare;
  Bytes Other(kDiskBlocks * 512, 0);
  Bytes Image(kDiskBlocks * 2048, 0);
  PeiTest::PutGpt(Image, 2048, 2, {{kBasicDataType, 5}});
  PeiTest::PutBootSector(Image, 5 * 2048);
  Bare.AddDisk(Other);
  Bare.AddDisk(Image, 2048);
  VolumeEntry Volume = {1, kUntouched};
  ASSERT_EQ(ProbeNtfsVolume(Bare.Context.get(), &Volume), EFI_SUCCESS);
  const auto &Reads = Bare.Platform.Trace().Reads();
  ASSERT_EQ(Reads.size(), 4u);
  const uint64_t Expected[4][2] = {{0, 512}, {1, 512}, {2, 1024}, {5, 512}};
  for (int I = 0; I < 4; ++I) {
    EXPECT_EQ(Reads[I].Instance, 1u);
    EXPECT_EQ(Reads[I].StartLba, Expected[I][0]);
    EXPECT_EQ(Reads[I].BufferSize, Expected[I][1]);
  }
  UINT64 Start = 7;
  EXPECT_EQ(LocateNtfsPartition(Bare.Context.get(), &Start), EFI_DEVICE_ERROR);
  EXPECT_EQ(Reads.back().Instance, 0u);
}

}  // namespace
