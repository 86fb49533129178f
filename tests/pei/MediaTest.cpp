// Discovery on real media made at build time by mkntfs, sgdisk, sfdisk,
// mkfs.fat and xorriso (tests/media/partition-media.sh), through the
// simulated platform. Expected rows come from the tools' own views of the
// media: layout.txt (sgdisk, sfdisk, blkid) and xorriso's El Torito report.
#include <gtest/gtest.h>

#include <stdio.h>

#include <fstream>
#include <sstream>

#include "ntfs_recovery_pei/block/Block.h"
#include "ntfs_recovery_pei/frame/Frame.h"
#include "tests/pei/PeiTestSupport.h"

namespace {

using HostPlatform::Status;
using PeiTest::BlockDevice;
using PeiTest::BlockDevicePtr;
using PeiTest::MediaPath;
using PeiTest::SimulatedPeiPlatform;

// One partition as the tools report it.
struct Partition {
  std::string Image, Scheme;
  int Entry;
  uint64_t First, Sectors;
  std::string FileSystem;
};

std::vector<Partition> Layout(const std::string &Image) {
  std::ifstream In(MediaPath("layout.txt"));
  EXPECT_TRUE(In.good()) << "no layout.txt: the media were not built";
  std::vector<Partition> Result;
  Partition P;
  while (In >> P.Image >> P.Scheme >> P.Entry >> P.First >> P.Sectors >> P.FileSystem) {
    if (P.Image == Image) Result.push_back(P);
  }
  return Result;
}

BlockDevicePtr Open(const std::string &Name, uint32_t BlockSize = 512) {
  return BlockDevice::OpenImage(MediaPath(Name), BlockSize,
                                BlockSize == 2048 ? HostPlatform::kIdeCdrom
                                                  : HostPlatform::kUsbMassStorage);
}

// A row as the tests expect it.
struct Row {
  uint32_t BlockSize;
  uint64_t LastBlock;
  bool IsPartition;
  uint64_t StartOffset;
  uint32_t ParentIndex;
};

void ExpectRows(RecoveryContext *Context, const std::vector<Row> &Expected) {
  ASSERT_EQ(Context->BlockDeviceCount, Expected.size());
  for (size_t I = 0; I < Expected.size(); ++I) {
    const BlockDeviceEntry &R = Context->BlockDevices[I];
    SCOPED_TRACE(testing::Message() << "row " << I);
    EXPECT_EQ(R.BlockSize, Expected[I].BlockSize);
    EXPECT_EQ(R.LastBlock, Expected[I].LastBlock);
    EXPECT_EQ(R.IsPartition, Expected[I].IsPartition ? 1 : 0);
    EXPECT_EQ(R.PartitionsScanned, 1);
    if (Expected[I].IsPartition) {
      EXPECT_EQ(R.StartOffset, Expected[I].StartOffset);
      EXPECT_EQ(R.ParentIndex, Expected[I].ParentIndex);
    }
  }
}

// The row of a disk of Sectors 512-byte sectors.
Row DiskRow(uint64_t Sectors) { return {512, Sectors - 1, false, 0, 0}; }
// The child of a GPT disk's protective record (start 1, the rest of the disk).
Row ProtectiveChild(uint64_t Sectors) { return {512, Sectors - 2, true, 512, 0}; }

uint64_t DiskSectors(const std::string &Image) {
  std::ifstream In(MediaPath(Image), std::ios::ate | std::ios::binary);
  return static_cast<uint64_t>(In.tellg()) / 512;
}

struct DiskCase {
  std::string Image;
  bool Gpt;
  uint32_t Volumes;   // what discovery finds
  int LocatedEntry;   // the layout entry LocateNtfsPartition must give
};

void PrintTo(const DiskCase &C, std::ostream *Out) { *Out << C.Image; }

class PartitionedDiskTest : public ::testing::TestWithParam<DiskCase> {};

// One disk behind one PPI: exact block device table and volume count, and
// the volume's start from LocateNtfsPartition against the tools' view.
TEST_P(PartitionedDiskTest, TablesAndLocation) {
  const DiskCase &C = GetParam();
  const std::vector<Partition> Parts = Layout(C.Image);
  ASSERT_FALSE(Parts.empty());
  const uint64_t Sectors = DiskSectors(C.Image);
  std::vector<Row> Expected = {DiskRow(Sectors)};
  if (C.Gpt) {
    Expected.push_back(ProtectiveChild(Sectors));
  } else if (Parts[0].Scheme == "mbr") {
    for (const Partition &P : Parts) {
      Expected.push_back({512, P.Sectors - 1, true, P.First * 512, 0});
    }
  }

  SimulatedPeiPlatform Platform;
  Platform.AddBlockIoPpi({Open(C.Image)});
  ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
  RecoveryContext *Context = Platform.Context();
  ExpectRows(Context, Expected);
  EXPECT_EQ(Context->VolumeCount, C.Volumes);
  for (uint32_t I = 0; I < Context->VolumeCount; ++I) {
    EXPECT_EQ(Context->Volumes[I].BlockDeviceIndex, I);
    EXPECT_EQ(Context->Volumes[I].FileSystemType, 0u);
  }

  UINT64 Start = ~0ull;
  ASSERT_EQ(LocateNtfsPartition(Context, &Start), EFI_SUCCESS);
  const Partition *Located = nullptr;
  for (const Partition &P : Parts) {
    if (P.Entry == C.LocatedEntry) Located = &P;
  }
  ASSERT_NE(Located, nullptr);
  EXPECT_EQ(Start, Located->First);
  EXPECT_EQ(Located->FileSystem, C.Volumes == 1 ? "ntfs" : "vfat");
}

INSTANTIATE_TEST_SUITE_P(
    Partitioned, PartitionedDiskTest,
    ::testing::Values(DiskCase{"whole.img", false, 1, 0},
                      DiskCase{"gpt1.img", true, 1, 1},
                      DiskCase{"gpt3.img", true, 1, 3},
                      // The first basic data entry holds FAT: no volume.
                      DiskCase{"gpt-fat-first.img", true, 0, 1},
                      DiskCase{"mbr7.img", false, 1, 0},
                      DiskCase{"mbr-fat32-7.img", false, 1, 1}),
    [](const testing::TestParamInfo<DiskCase> &Info) {
      std::string Name = Info.param.Image;
      for (char &Ch : Name) {
        if (!isalnum(static_cast<unsigned char>(Ch))) Ch = '_';
      }
      return Name;
    });

// The probe of the FAT-first disk reads a boot sector that is not NTFS.
TEST(PartitionMediaTest, BasicDataHoldingFatIsReadAsNotNtfs) {
  SimulatedPeiPlatform Platform;
  Platform.AddBlockIoPpi({Open("gpt-fat-first.img")});
  ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
  VolumeEntry Volume = {0, 77};
  EXPECT_EQ(ProbeNtfsVolume(Platform.Context(), &Volume), EFI_NOT_FOUND);
  EXPECT_EQ(Volume.FileSystemType, 2u);
}

// The El Torito CD: one child per boot catalog entry, as xorriso reports
// the entries (emulation, load size, LBA) and the session's size.
TEST(PartitionMediaTest, ElToritoCd) {
  std::ifstream Report(MediaPath("cd.iso.eltorito"));
  ASSERT_TRUE(Report.good());
  std::vector<Row> Expected;
  const uint64_t CdBlocks = DiskSectors("cd.iso") / 4;
  Expected.push_back({2048, CdBlocks - 1, false, 0, 0});
  uint64_t SessionSize = 0;
  std::vector<std::pair<std::string, std::pair<uint64_t, uint64_t>>> Images;
  std::string Line;
  while (std::getline(Report, Line)) {
    std::istringstream Words(Line);
    std::string A, B, C, Colon;
    if (Line.rfind("El Torito boot img :", 0) == 0) {
      std::string N, Platform, Bootable, Emulation, Segment, Header;
      uint64_t Size, Lba;
      Words >> A >> B >> C >> Colon >> Colon >> N >> Platform >> Bootable >> Emulation >>
          Segment >> Header >> Size >> Lba;
      Images.push_back({Emulation, {Size, Lba}});
    } else if (Line.rfind("ISO session  :", 0) == 0) {
      std::string Index, Comma, Start, Comma2, Size;
      Words >> A >> B >> Colon >> Index >> Comma >> Start >> Comma2 >> Size;
      SessionSize = std::stoull(Size);
    }
  }
  ASSERT_EQ(Images.size(), 3u);
  ASSERT_GT(SessionSize, 0u);
  for (const auto &Image : Images) {
    const std::string &Emulation = Image.first;
    const uint64_t Count = Image.second.first, Lba = Image.second.second;
    const uint64_t Limit = std::min<uint64_t>(SessionSize, CdBlocks);
    if (Emulation == "none") {
      Expected.push_back({2048, Count < 2 ? Limit - Lba - 1 : Count - 1, true, Lba * 2048, 0});
    } else if (Emulation == "hd") {
      Expected.push_back({512, Count < 2 ? Limit - Lba - 1 : Count - 1, true, Lba * 2048, 0});
    } else {
      ASSERT_EQ(Emulation, "fd1.4");
      Expected.push_back({512, 2879, true, Lba * 2048, 0});
    }
  }

  SimulatedPeiPlatform Platform;
  Platform.AddBlockIoPpi({Open("cd.iso", 2048)});
  ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
  ExpectRows(Platform.Context(), Expected);
  EXPECT_EQ(Platform.Context()->BlockDevices[0].DeviceType,
            static_cast<uint32_t>(HostPlatform::kIdeCdrom));
  EXPECT_EQ(Platform.Context()->VolumeCount, 0u);
}

// Two disks behind two PPI instances; the MBR disk's child comes last.
TEST(PartitionMediaTest, TwoDisksBehindTwoPpis) {
  SimulatedPeiPlatform Platform;
  Platform.AddBlockIoPpi({Open("whole.img")});
  Platform.AddBlockIoPpi({Open("mbr7.img")});
  ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
  RecoveryContext *Context = Platform.Context();
  const Partition Ntfs = Layout("mbr7.img").at(0);
  ExpectRows(Context, {DiskRow(DiskSectors("whole.img")), DiskRow(DiskSectors("mbr7.img")),
                       {512, Ntfs.Sectors - 1, true, Ntfs.First * 512, 1}});
  EXPECT_EQ(Context->BlockDevices[1].BlockIo, Platform.BlockIoPpi(1));
  EXPECT_EQ(Context->BlockDevices[1].PpiDeviceIndex, 0);
  EXPECT_EQ(Context->VolumeCount, 2u);
}

// A PPI installed after the entry point: the notify pass rebuilds both
// tables, here from nothing to one volume and then to two.
TEST(PartitionMediaTest, LatePpisRebuildTheTables) {
  SimulatedPeiPlatform Platform;
  ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
  RecoveryContext *Context = Platform.Context();
  EXPECT_EQ(Context->BlockDeviceCount, 0u);
  Platform.AddBlockIoPpi({Open("gpt3.img")});
  const uint64_t Sectors = DiskSectors("gpt3.img");
  ExpectRows(Context, {DiskRow(Sectors), ProtectiveChild(Sectors)});
  EXPECT_EQ(Context->VolumeCount, 1u);
  Platform.AddBlockIoPpi({Open("whole.img")});
  ExpectRows(Context, {DiskRow(Sectors), DiskRow(DiskSectors("whole.img")),
                       ProtectiveChild(Sectors)});
  // Row 2, the protective child, holds no volume: the table stops there.
  EXPECT_EQ(Context->VolumeCount, 2u);
  EXPECT_EQ(Platform.NotifyDispatches(), 2u);
}

TEST(PartitionMediaTest, SeventyDevicesAndOneWithoutMedia) {
  SimulatedPeiPlatform Platform;
  auto Absent = Open("mbr7.img");
  Absent->SetMediaPresent(false);
  std::vector<BlockDevicePtr> First = {Absent};
  for (int I = 0; I < 34; ++I) First.push_back(Open("whole.img"));
  std::vector<BlockDevicePtr> Second;
  for (int I = 0; I < 36; ++I) Second.push_back(Open("whole.img"));
  Platform.AddBlockIoPpi(First);
  Platform.AddBlockIoPpi(Second);
  ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
  RecoveryContext *Context = Platform.Context();
  ASSERT_EQ(Context->BlockDeviceCount, 64u);
  EXPECT_EQ(Context->BlockDevices[0].PpiDeviceIndex, 1);  // device 0 has no media
  EXPECT_EQ(Context->BlockDevices[33].PpiDeviceIndex, 34);
  EXPECT_EQ(Context->BlockDevices[34].BlockIo, Platform.BlockIoPpi(1));
  EXPECT_EQ(Context->BlockDevices[63].PpiDeviceIndex, 29);
  EXPECT_EQ(Context->VolumeCount, 64u);
  for (const auto &Read : Platform.Trace().Reads()) {
    EXPECT_FALSE(Read.Instance == 0 && Read.DeviceIndex == 0);
  }
}

// Every read of a discovery pass failing in turn: the entry still succeeds,
// the tables only lose what the failed read would have given, and every row
// stays sound.
TEST(PartitionMediaTest, FailureInjectedAtEachRead) {
  struct Medium {
    std::string Name;
    uint32_t BlockSize;
  } Media[] = {{"gpt3.img", 512}, {"mbr-fat32-7.img", 512}, {"cd.iso", 2048}};
  for (const Medium &M : Media) {
    uint64_t Reads = 0;
    uint32_t Rows = 0, Volumes = 0;
    {
      SimulatedPeiPlatform Platform;
      Platform.AddBlockIoPpi({Open(M.Name, M.BlockSize)});
      ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
      Reads = Platform.Trace().ReadCount();
      Rows = Platform.Context()->BlockDeviceCount;
      Volumes = Platform.Context()->VolumeCount;
    }
    ASSERT_GT(Reads, 2u);
    for (uint64_t N = 1; N <= Reads; ++N) {
      SCOPED_TRACE(testing::Message() << M.Name << " read " << N << " fails");
      SimulatedPeiPlatform Platform;
      Platform.AddBlockIoPpi({Open(M.Name, M.BlockSize)});
      Platform.Trace().FailNthRead(N, Status::DeviceError);
      ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
      RecoveryContext *Context = Platform.Context();
      EXPECT_LE(Context->BlockDeviceCount, Rows);
      EXPECT_LE(Context->VolumeCount, Volumes);
      EXPECT_GE(Context->BlockDeviceCount, 1u);
      for (uint32_t I = 0; I < Context->BlockDeviceCount; ++I) {
        const BlockDeviceEntry &R = Context->BlockDevices[I];
        EXPECT_EQ(R.PartitionsScanned, 1);
        if (R.IsPartition) {
          EXPECT_LT(R.ParentIndex, I);
        }
      }
      // The first read is the disk's MBR: failing it leaves a hard disk
      // without children (a CD still has its El Torito pass).
      if (N == 1 && M.BlockSize == 512) {
        EXPECT_EQ(Context->BlockDeviceCount, 1u);
      }
      // gpt3.img: the last five reads are the probes, four of the disk
      // (MBR, GPT header, entries, boot sector), one of its protective
      // child. A failed disk probe leaves no volume; the child's changes
      // nothing.
      if (M.Name == "gpt3.img" && N + 5 > Reads) {
        EXPECT_EQ(Context->BlockDeviceCount, Rows);
        EXPECT_EQ(Context->VolumeCount, N == Reads ? Volumes : 0u);
      }
    }
  }
}

}  // namespace

namespace {

// Each disk with one NTFS volume offers one capsule, read from the volume
// that LocateNtfsPartition finds on block device 0; the bytes loaded are
// those the media script copied in (its 40 KiB file, whole 4 KiB clusters).
TEST(PartitionMediaTest, OneVolumeOffersItsCapsule) {
  std::vector<uint8_t> Expected;
  for (int I = 1; I <= 8192 && Expected.size() < 40960; ++I) {
    char Line[8];
    snprintf(Line, sizeof(Line), "%04d\n", I);
    for (const char *P = Line; *P != 0 && Expected.size() < 40960; ++P) {
      Expected.push_back(static_cast<uint8_t>(*P));
    }
  }
  for (const char *Image : {"whole.img", "gpt1.img", "gpt3.img", "mbr7.img", "mbr-fat32-7.img"}) {
    SCOPED_TRACE(Image);
    SimulatedPeiPlatform Platform;
    Platform.AddBlockIoPpi({Open(Image)});
    Platform.SetRecoveryPath(u"recovery.cap");
    ASSERT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
    EFI_PEI_DEVICE_RECOVERY_MODULE_PPI *Ppi = Platform.RecoveryPpi();
    UINTN Count = 0;
    ASSERT_EQ(Ppi->GetNumberRecoveryCapsules(Platform.Services(), Ppi, &Count), EFI_SUCCESS);
    EXPECT_EQ(Count, 1u);
    UINTN Size = 0;
    EFI_GUID Type;
    ASSERT_EQ(Ppi->GetRecoveryCapsuleInfo(Platform.Services(), Ppi, 0, &Size, &Type),
              EFI_SUCCESS);
    ASSERT_EQ(Size, Expected.size());
    std::vector<uint8_t> Loaded(Size);
    ASSERT_EQ(Ppi->LoadRecoveryCapsule(Platform.Services(), Ppi, 0, Loaded.data()),
              EFI_SUCCESS);
    EXPECT_TRUE(Loaded == Expected);
  }
}

}  // namespace
