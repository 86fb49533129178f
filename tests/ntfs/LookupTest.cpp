// The recovery services and the file lookup end to end on a hand-built
// volume: names only in a root node, files the reader must refuse, run
// table limits, path limits, the extent list between lookups and injected
// read failures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/pei/SimulatedPeiPlatform.h"
#include "ntfs_recovery_pei/ntfs/Ntfs.h"
#include "tests/ntfs/NtfsTestSupport.h"

namespace {

using namespace NtfsTest;
using HostPei::PeiPlatformOptions;
using HostPei::SimulatedPeiPlatform;
using HostPlatform::BlockDevice;

// Runs of one cluster each at clusters First, First + 2, First + 4, ...
// (header 0x11 0x21: one-byte length, one- or two-byte offset).
Bytes SpreadRuns(uint32_t Count, uint32_t First) {
  Bytes L = {0x21, 0x01, static_cast<uint8_t>(First), static_cast<uint8_t>(First >> 8)};
  for (uint32_t K = 1; K < Count; ++K) {
    L.push_back(0x11);
    L.push_back(0x01);
    L.push_back(0x02);
  }
  L.push_back(0);
  return L;
}

constexpr uint64_t kFileBytes = 3 * 4096;
constexpr uint64_t kSpreadFirst = 100;

// The volume: root (record 5) holds the files below and Dir (30); Dir has
// an index record (cluster 40) that lists only Other, while Target is held
// in Dir's root node.
Bytes BuildVolume() {
  MiniVolume V(400);
  std::u16string LongName(63, u'n');
  V.SetRecord(5, MiniVolume::DirectoryRecord(Entries({
      IndexEntry(30, u"Dir"), IndexEntry(32, u"File.bin"), IndexEntry(32, LongName),
      IndexEntry(41, u"Spread141.bin"), IndexEntry(42, u"Spread142.bin"),
      IndexEntry(43, u"Sub"), IndexEntry(46, u"More"), EndEntry()})));
  V.SetRecord(46, MiniVolume::DirectoryRecord(Entries({
      IndexEntry(100, u"Beyond"), IndexEntry(45, u"BadRun.bin"), IndexEntry(47, u"Runs32"),
      IndexEntry(48, u"Runs33"), IndexEntry(49, u"Encrypted.bin"), EndEntry()})));
  // Directories whose $INDEX_ALLOCATION has 32 and 33 runs; the first run's
  // record (cluster 41) lists Inside.
  V.SetRecord(47, MiniVolume::DirectoryRecord(Entries({EndEntry()}), SpreadRuns(32, 41),
                                              32 * 4096));
  V.SetRecord(48, MiniVolume::DirectoryRecord(Entries({EndEntry()}), SpreadRuns(33, 41),
                                              33 * 4096));
  V.PutCluster(41, IndxRecord(Entries({IndexEntry(31, u"Inside"), EndEntry()})));
  V.SetRecord(49, MiniVolume::DataFileRecord(RunList({{1, 64}}), 4096, 0x4000));
  Bytes BadRuns = {0x11, 0x01, 0x40, 0x09, 0x00};  // one run, then a 9-byte length
  V.SetRecord(45, MiniVolume::DataFileRecord(BadRuns, 2 * 4096));
  V.SetRecord(43, MiniVolume::DirectoryRecord(Entries({
      IndexEntry(34, u"Resident.txt"), IndexEntry(35, u"Sparse.bin"),
      IndexEntry(36, u"Compressed.bin"), IndexEntry(37, u"Continued.bin"),
      IndexEntry(38, u"Short.bin"), IndexEntry(39, u"Huge.bin"),
      IndexEntry(40, u"NoData"), IndexEntry(44, u"Empty.bin"), EndEntry()})));
  V.SetRecord(44, MiniVolume::DataFileRecord(Bytes{0x00}, 0));
  V.SetRecord(30, MiniVolume::DirectoryRecord(
                      Entries({IndexEntry(31, u"Target"), EndEntry()}),
                      RunList({{1, 40}}), 4096));
  V.PutCluster(40, IndxRecord(Entries({IndexEntry(33, u"Other"), EndEntry()})));
  V.SetRecord(31, MiniVolume::DataFileRecord(RunList({{2, 64}}), 2 * 4096));
  // File.bin: three runs, the second before the first on disk.
  V.SetRecord(32, MiniVolume::DataFileRecord(RunList({{1, 70}, {1, -4}, {1, 10}}),
                                             kFileBytes));
  V.SetRecord(34, FileRecord({ResidentAttribute(0x80, Bytes{'h', 'i'})}));
  V.SetRecord(35, MiniVolume::DataFileRecord(RunList({{1, 64}}), 4096, 0x8000));
  V.SetRecord(36, MiniVolume::DataFileRecord(RunList({{1, 64}}), 4096, 0x0001));
  V.SetRecord(37, MiniVolume::DataFileRecord(RunList({{1, 64}}), 4096, 0, 1));
  V.SetRecord(38, MiniVolume::DataFileRecord(RunList({{1, 64}}), 2 * 4096));
  V.SetRecord(39, MiniVolume::DataFileRecord(RunList({{0x100001, 64}}),
                                             0x100001ull * 4096));
  V.SetRecord(40, FileRecord({ResidentAttribute(0x10, Bytes(0x48, 0))}));
  V.SetRecord(41, MiniVolume::DataFileRecord(SpreadRuns(141, kSpreadFirst), 141 * 4096));
  V.SetRecord(42, MiniVolume::DataFileRecord(SpreadRuns(142, kSpreadFirst), 142 * 4096));
  for (size_t I = 64 * 4096; I < V.Image.size(); ++I) V.Image[I] = Pattern(I);
  return V.Image;
}

// One platform over one volume image, with the module's entry point run.
struct Rig {
  explicit Rig(const Bytes &Image, PeiPlatformOptions Options = {})
      : Platform(Options) {
    Device = BlockDevice::FromBytes(Image);
    Platform.AddBlockIoPpi({Device});
    EXPECT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
    Ppi = Platform.RecoveryPpi();
  }
  EFI_STATUS Info(const std::u16string &Path, UINTN *Size) {
    Platform.SetRecoveryPath(Path);
    EFI_GUID Type = {};
    return Ppi->GetRecoveryCapsuleInfo(Platform.Services(), Ppi, 0, Size, &Type);
  }
  // Loads into a buffer of Size bytes followed by guard bytes 0xA5.
  EFI_STATUS Load(UINTN Size, Bytes *Out, size_t Guard = 4096) {
    Out->assign(Size + Guard, 0xA5);
    return Ppi->LoadRecoveryCapsule(Platform.Services(), Ppi, 0, Out->data());
  }
  SimulatedPeiPlatform Platform;
  HostPlatform::BlockDevicePtr Device;
  EFI_PEI_DEVICE_RECOVERY_MODULE_PPI *Ppi = nullptr;
};

// Bytes of clusters in run order, from the volume image.
Bytes Clusters(const Bytes &Image, const std::vector<uint64_t> &List) {
  Bytes Out;
  for (uint64_t C : List)
    Out.insert(Out.end(), Image.begin() + C * 4096, Image.begin() + (C + 1) * 4096);
  return Out;
}

// The volume is built once, by the first test that runs, so that a fault in
// building it fails that test.
class LookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static const Bytes Volume = BuildVolume();
    Image = &Volume;
  }
  const Bytes *Image = nullptr;
};

TEST_F(LookupTest, LoadsFilesWholeClustersInRunOrder) {
  std::vector<uint64_t> Spread;
  for (uint64_t K = 0; K < 141; ++K) Spread.push_back(kSpreadFirst + 2 * K);
  struct Case {
    std::u16string Path;
    std::vector<uint64_t> Clusters;
  } Cases[] = {
      {u"file.BIN", {70, 66, 76}},
      {std::u16string(63, u'N'), {70, 66, 76}},
      // Held only in the root node of a directory that has index records.
      {u"DIR\\target", {64, 65}},
      {u"Spread141.bin", Spread},
      {u"Sub\\Empty.bin", {}},
      {u"More\\Runs32\\Inside", {64, 65}},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(std::string(C.Path.begin(), C.Path.end()));
    Rig R(*Image);
    UINTN Size = 0;
    ASSERT_EQ(R.Info(C.Path, &Size), EFI_SUCCESS);
    EXPECT_EQ(Size, C.Clusters.size() * 4096);
    Bytes Loaded;
    ASSERT_EQ(R.Load(Size, &Loaded), EFI_SUCCESS);
    Bytes Expected = Clusters(*Image, C.Clusters);
    EXPECT_TRUE(std::equal(Expected.begin(), Expected.end(), Loaded.begin()));
    EXPECT_EQ(Loaded[Size], 0xA5);
  }
}

TEST_F(LookupTest, RefusesWhatCannotBeLoadedWhole) {
  struct Case {
    std::u16string Path;
    EFI_STATUS Status;
  } Cases[] = {
      {u"Sub\\Resident.txt", EFI_DEVICE_ERROR},
      {u"Sub\\Sparse.bin", EFI_DEVICE_ERROR},
      {u"Sub\\Compressed.bin", EFI_DEVICE_ERROR},
      {u"More\\Encrypted.bin", EFI_DEVICE_ERROR},
      {u"Sub\\Continued.bin", EFI_DEVICE_ERROR},  // a segment past VCN 0
      {u"Sub\\Short.bin", EFI_DEVICE_ERROR},      // runs short of the allocation
      {u"Sub\\Huge.bin", EFI_DEVICE_ERROR},       // 4 GiB and more
      {u"Sub\\NoData", EFI_DEVICE_ERROR},
      {u"Dir", EFI_DEVICE_ERROR},            // a directory named as the file
      {u"Spread142.bin", EFI_DEVICE_ERROR},  // more runs than the table
      {u"More\\Runs33\\Inside", EFI_DEVICE_ERROR},  // index runs past the table
      {u"More\\Beyond", EFI_DEVICE_ERROR},         // a record past the MFT's runs
      {u"Missing.bin", EFI_DEVICE_ERROR},
      {u"File.bin\\x", EFI_DEVICE_ERROR},    // a file in the middle
      {u"", EFI_DEVICE_ERROR},
      {u"\\File.bin", EFI_DEVICE_ERROR},
      {u"Dir\\\\Target", EFI_DEVICE_ERROR},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(std::string(C.Path.begin(), C.Path.end()));
    Rig R(*Image);
    UINTN Size = 0x1234;
    EXPECT_EQ(R.Info(C.Path, &Size), C.Status);
    EXPECT_EQ(Size, 0x1234u);
  }
}

TEST_F(LookupTest, PathLimitsAreCheckedBeforeAnyRead) {
  std::u16string Path128;
  for (int I = 0; I < 63; ++I) Path128 += u"a\\";
  Path128 += u"ab";
  struct Case {
    std::u16string Path;
    bool Reads;
  } Cases[] = {
      {Path128, true},
      {Path128 + u"c", false},
      {std::u16string(64, u'a'), false},
      {u"Dir\\" + std::u16string(64, u'a'), false},
      {std::u16string(63, u'a') + u"\\" + std::u16string(64, u'b'), false},
  };
  for (const Case &C : Cases) {
    Rig R(*Image);
    uint64_t Before = R.Platform.Trace().ReadCount();
    UINTN Size = 0;
    EXPECT_EQ(R.Info(C.Path, &Size), EFI_DEVICE_ERROR);
    EXPECT_EQ(R.Platform.Trace().ReadCount() > Before, C.Reads) << C.Path.size();
  }
}

TEST_F(LookupTest, NoPcdPpiOrNoPathIsNotFound) {
  {
    PeiPlatformOptions Options;
    Options.InstallPcdPpi = false;
    Rig R(*Image, Options);
    UINTN Size = 0;
    EFI_GUID Type = {};
    EXPECT_EQ(R.Ppi->GetRecoveryCapsuleInfo(R.Platform.Services(), R.Ppi, 0, &Size, &Type),
              EFI_NOT_FOUND);
  }
  Rig R(*Image);
  R.Platform.ClearRecoveryPath();
  UINTN Size = 0;
  EFI_GUID Type = {};
  EXPECT_EQ(R.Ppi->GetRecoveryCapsuleInfo(R.Platform.Services(), R.Ppi, 0, &Size, &Type),
            EFI_NOT_FOUND);
}

TEST_F(LookupTest, ReportsTheCapsuleType) {
  Rig R(*Image);
  R.Platform.SetRecoveryPath(u"File.bin");
  UINTN Size = 0;
  EFI_GUID Type = {};
  ASSERT_EQ(R.Ppi->GetRecoveryCapsuleInfo(R.Platform.Services(), R.Ppi, 7, &Size, &Type),
            EFI_SUCCESS);
  const EFI_GUID Expected = {0xF2155B20, 0xB0D6, 0x11DF,
                             {0x94, 0xE2, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
  EXPECT_EQ(memcmp(&Type, &Expected, sizeof Type), 0);
}

// A later lookup never leaves extents of an earlier one behind its own.
TEST_F(LookupTest, ExtentListEndsAfterEveryLookup) {
  Rig R(*Image);
  UINTN Size = 0;
  ASSERT_EQ(R.Info(u"Spread141.bin", &Size), EFI_SUCCESS);
  ASSERT_EQ(R.Info(u"File.bin", &Size), EFI_SUCCESS);
  EXPECT_EQ(R.Platform.Context()->FileExtents[3].ByteLength, 0u);
  Bytes Loaded;
  ASSERT_EQ(R.Load(Size, &Loaded), EFI_SUCCESS);
  EXPECT_EQ(Loaded[Size], 0xA5);

  for (const char16_t *Failing :
       {u"Missing.bin", u"Sub\\Huge.bin", u"Sub\\Short.bin", u"Spread142.bin"}) {
    ASSERT_EQ(R.Info(u"Spread141.bin", &Size), EFI_SUCCESS);
    EXPECT_EQ(R.Info(Failing, &Size), EFI_DEVICE_ERROR);
    ASSERT_EQ(R.Load(0, &Loaded), EFI_SUCCESS);
    EXPECT_EQ(Loaded[0], 0xA5);
  }
}

// A bad run header fails the lookup and leaves the runs before it listed.
TEST_F(LookupTest, BadRunHeaderKeepsTheRunsBeforeIt) {
  Rig R(*Image);
  UINTN Size = 0;
  EXPECT_EQ(R.Info(u"More\\BadRun.bin", &Size), EFI_DEVICE_ERROR);
  const FileExtent *Extents = R.Platform.Context()->FileExtents;
  EXPECT_EQ(Extents[0].StartBlock, 64u * 8);
  EXPECT_EQ(Extents[0].ByteLength, 4096u);
  EXPECT_EQ(Extents[1].ByteLength, 0u);
}

TEST_F(LookupTest, CapsuleCountFollowsTheVolumeCount) {
  Rig R(*Image);
  for (uint32_t Volumes : {0u, 1u, 2u, 64u}) {
    R.Platform.Context()->VolumeCount = Volumes;
    UINTN Count = 99;
    EXPECT_EQ(R.Ppi->GetNumberRecoveryCapsules(R.Platform.Services(), R.Ppi, &Count),
              EFI_SUCCESS);
    EXPECT_EQ(Count, Volumes == 1 ? 1u : 0u);
  }
}

// One page of EfiBootServicesCode per request, failed lookups included; a
// failed allocation is reported before anything is read.
TEST_F(LookupTest, EveryRequestTakesOnePage) {
  Rig R(*Image);
  uint64_t Calls = R.Platform.AllocatePagesCalls();
  UINTN Size = 0;
  EXPECT_EQ(R.Info(u"File.bin", &Size), EFI_SUCCESS);
  EXPECT_EQ(R.Info(u"Missing.bin", &Size), EFI_DEVICE_ERROR);
  EXPECT_EQ(R.Platform.AllocatePagesCalls(), Calls + 2);
  EXPECT_EQ(R.Platform.Allocations().back().MemoryType, EfiBootServicesCode);
  EXPECT_EQ(R.Platform.Allocations().back().Pages, 1u);
  R.Platform.FailAllocatePages(true);
  uint64_t Reads = R.Platform.Trace().ReadCount();
  EXPECT_EQ(R.Info(u"File.bin", &Size), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(R.Platform.Trace().ReadCount(), Reads);
}

// Before any lookup the list is empty; a failed extent read stops the load
// with that read's status and leaves the later extents unread.
TEST_F(LookupTest, LoadStopsAtTheFailedExtent) {
  Rig R(*Image);
  Bytes Loaded;
  uint64_t Reads = R.Platform.Trace().ReadCount();
  EXPECT_EQ(R.Load(0, &Loaded), EFI_SUCCESS);
  EXPECT_EQ(R.Platform.Trace().ReadCount(), Reads);

  UINTN Size = 0;
  ASSERT_EQ(R.Info(u"File.bin", &Size), EFI_SUCCESS);
  Reads = R.Platform.Trace().ReadCount();
  R.Platform.Trace().FailNthRead(Reads + 2);
  EXPECT_EQ(R.Load(Size, &Loaded), EFI_DEVICE_ERROR);
  EXPECT_EQ(R.Platform.Trace().ReadCount(), Reads + 2);
  Bytes First = Clusters(*Image, {70});
  EXPECT_TRUE(std::equal(First.begin(), First.end(), Loaded.begin()));
  EXPECT_EQ(Loaded[2 * 4096], 0xA5);
}

// Whatever single read fails, the lookup and the load either fail or
// deliver the right bytes.
TEST_F(LookupTest, InjectedReadFailures) {
  Bytes Expected = Clusters(*Image, {64, 65});
  uint64_t Reads = 0;
  {
    Rig R(*Image);
    uint64_t Before = R.Platform.Trace().ReadCount();
    UINTN Size = 0;
    ASSERT_EQ(R.Info(u"Dir\\Target", &Size), EFI_SUCCESS);
    Bytes Loaded;
    ASSERT_EQ(R.Load(Size, &Loaded), EFI_SUCCESS);
    Reads = R.Platform.Trace().ReadCount() - Before;
  }
  for (uint64_t N = 1; N <= Reads; ++N) {
    SCOPED_TRACE(N);
    Rig R(*Image);
    R.Platform.Trace().FailNthRead(R.Platform.Trace().ReadCount() + N);
    UINTN Size = 0;
    EFI_STATUS Status = R.Info(u"Dir\\Target", &Size);
    if (EFI_ERROR(Status)) continue;
    Bytes Loaded;
    Status = R.Load(Size, &Loaded);
    if (EFI_ERROR(Status)) continue;
    ASSERT_EQ(Size, Expected.size());
    EXPECT_TRUE(std::equal(Expected.begin(), Expected.end(), Loaded.begin()));
  }
}

// A boot sector without "NTFS" at offset 3 is not the recovery volume.
TEST(LookupVolumeTest, BootSectorWithoutNtfsIsALoadError) {
  MiniVolume V(64);
  V.Image[3] = 'X';
  Rig R(V.Image);
  UINTN Size = 0x1234;
  EXPECT_EQ(R.Info(u"File.bin", &Size), EFI_LOAD_ERROR);
  EXPECT_EQ(Size, 0x1234u);
}

// MFT record 0 stating 4096 bytes per record: record n lies 8n blocks into
// the MFT, and 1024 bytes are read there.
TEST(LookupMftTest, RecordStrideFromRecordZero) {
  MiniVolume V(160);
  Bytes Record0 = MiniVolume::MftRecord(RunList({{16, MiniVolume::kMftCluster}}));
  Put32(Record0, 0x1C, 4096);
  V.SetRecord(0, Record0);
  V.PutBytes((4 + 5) * 4096, MiniVolume::DirectoryRecord(
                                 Entries({IndexEntry(13, u"F"), EndEntry()})));
  V.PutBytes((4 + 13) * 4096, MiniVolume::DataFileRecord(RunList({{1, 120}}), 4096));
  Rig R(V.Image);
  UINTN Size = 0;
  EXPECT_EQ(R.Info(u"F", &Size), EFI_SUCCESS);
  EXPECT_EQ(Size, 4096u);
}

// Volumes whose MFT the walk cannot use.
TEST(LookupMftTest, DamagedMftRecordZero) {
  struct Case {
    const char *Name;
    Bytes Record0;
    EFI_STATUS Status;
  } Cases[] = {
      {"32 runs", MiniVolume::MftRecord(SpreadRuns(32, 4)), EFI_SUCCESS},
      {"33 runs", MiniVolume::MftRecord(SpreadRuns(33, 4)), EFI_DEVICE_ERROR},
      {"no $DATA", FileRecord({ResidentAttribute(0x10, Bytes(0x48, 0))}), EFI_DEVICE_ERROR},
      {"bad run header", MiniVolume::MftRecord(Bytes{0x09, 0x00}), EFI_DEVICE_ERROR},
      {"no FILE", Bytes(1024, 0), EFI_DEVICE_ERROR},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    MiniVolume V(160);
    V.SetRecord(0, C.Record0);
    // With spread runs record n lies in cluster 4 + 2 (n / 4): keep the
    // root and the file where either MFT layout finds them.
    Bytes Root = MiniVolume::DirectoryRecord(Entries({IndexEntry(13, u"F"), EndEntry()}));
    Bytes File = MiniVolume::DataFileRecord(RunList({{1, 120}}), 4096);
    V.SetRecord(5, Root);
    V.SetRecord(13, File);
    V.PutBytes((4 + 2) * 4096 + 1024 * 1, Root);  // record 5 of the spread MFT
    V.PutBytes((4 + 6) * 4096 + 1024 * 1, File);  // record 13 of the spread MFT
    Rig R(V.Image);
    UINTN Size = 0;
    EXPECT_EQ(R.Info(u"F", &Size), C.Status);
  }
}

}  // namespace
