// The recovery services on volumes made by mkntfs and ntfs-3g (see
// tests/media/ntfs-media.sh): loaded bytes against ntfscat, sizes against
// the allocated size ntfsinfo reports.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "host/pei/SimulatedPeiPlatform.h"
#include "tests/ntfs/NtfsTestSupport.h"

namespace {

using namespace NtfsTest;
using HostPlatform::BlockDevice;

struct MediaRig {
  explicit MediaRig(const std::string &Image) {
    Platform.AddBlockIoPpi({BlockDevice::OpenImage(NtfsMediaPath(Image))});
    EXPECT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
    Ppi = Platform.RecoveryPpi();
  }
  EFI_STATUS Info(const std::u16string &Path, UINTN *Size) {
    Platform.SetRecoveryPath(Path);
    EFI_GUID Type = {};
    return Ppi->GetRecoveryCapsuleInfo(Platform.Services(), Ppi, 0, Size, &Type);
  }
  EFI_STATUS Load(UINTN Size, Bytes *Out) {
    Out->assign(Size + 4096, 0xA5);
    return Ppi->LoadRecoveryCapsule(Platform.Services(), Ppi, 0, Out->data());
  }
  HostPei::SimulatedPeiPlatform Platform;
  EFI_PEI_DEVICE_RECOVERY_MODULE_PPI *Ppi = nullptr;
};

struct MediaCase {
  const char *Image;
  std::u16string Path;
  const char *Expected;  // expected/<name>.bin and .alloc; null: a refusal
};

// Checks a loaded file against the oracle's bytes and allocated size.
void ExpectLoaded(MediaRig &R, UINTN Size, const std::string &Expected) {
  Bytes Oracle = ReadFile(NtfsMediaPath("expected/" + Expected + ".bin"));
  uint64_t Allocated =
      strtoull(reinterpret_cast<const char *>(ReadFile(
                   NtfsMediaPath("expected/" + Expected + ".alloc")).data()),
               nullptr, 10);
  ASSERT_FALSE(Oracle.empty());
  EXPECT_EQ(Size, Allocated);
  Bytes Loaded;
  ASSERT_EQ(R.Load(Size, &Loaded), EFI_SUCCESS);
  ASSERT_GE(Size, Oracle.size());
  EXPECT_TRUE(std::equal(Oracle.begin(), Oracle.end(), Loaded.begin()));
  EXPECT_EQ(Loaded[Size], 0xA5);
}

TEST(NtfsMediaTest, LooksUpAndLoads) {
  const MediaCase Cases[] = {
      {"ntfs-4k.img", u"recovery.bin", "4k-root"},
      {"ntfs-4k.img", u"dir1\\DIR2\\dir3\\Dir4\\dIR5\\deep.BIN", "4k-deep"},
      {"ntfs-4k.img", u"MANY\\Recovery_Candidate_Entry_1234.BIN", "4k-many"},
      {"ntfs-4k.img", u"Frag50.bin", "4k-frag50"},
      {"ntfs-512.img", u"RECOVERY.BIN", "512-root"},
      {"ntfs-512.img", u"frag120.BIN", "512-frag120"},
      {"ntfs-64k.img", u"Recovery.Bin", "64k-root"},
      {"ntfs-64k.img", u"DIR1\\dir2\\DIR3\\dir4\\DIR5\\Deep.bin", "64k-deep"},
      {"gpt.img", u"efi\\recovery\\CAPSULE.BIN", "part"},
      {"mbr.img", u"EFI\\Recovery\\capsule.bin", "part"},
      // Refused: an attribute list, sparse, compressed, resident, more runs
      // than the table, a directory, a name not in a 2,000-entry index.
      {"ntfs-4k.img", u"AttrList.bin", nullptr},
      {"ntfs-4k.img", u"Sparse.bin", nullptr},
      {"ntfs-4k.img", u"Comp\\Packed.bin", nullptr},
      {"ntfs-4k.img", u"Tiny.txt", nullptr},
      {"ntfs-512.img", u"FragMany.bin", nullptr},
      {"ntfs-4k.img", u"Many", nullptr},
      {"ntfs-4k.img", u"Many\\recovery_candidate_entry_2000.bin", nullptr},
  };
  for (const MediaCase &C : Cases) {
    SCOPED_TRACE(std::string(C.Image) + " " + std::string(C.Path.begin(), C.Path.end()));
    MediaRig R(C.Image);
    UINTN Size = 0;
    EFI_STATUS Status = R.Info(C.Path, &Size);
    if (C.Expected == nullptr) {
      EXPECT_EQ(Status, EFI_DEVICE_ERROR);
      continue;
    }
    ASSERT_EQ(Status, EFI_SUCCESS);
    ExpectLoaded(R, Size, C.Expected);
  }
}

// A shorter file after a longer one: the load stops at the new list's end.
TEST(NtfsMediaTest, SecondLookupReplacesTheExtentList) {
  MediaRig R("ntfs-4k.img");
  UINTN Size = 0;
  ASSERT_EQ(R.Info(u"Frag50.bin", &Size), EFI_SUCCESS);
  ASSERT_EQ(R.Info(u"Dir1\\Dir2\\Dir3\\Dir4\\Dir5\\Deep.bin", &Size), EFI_SUCCESS);
  ExpectLoaded(R, Size, "4k-deep");
}

// Whatever single read of the lookup or the load fails, the services fail
// or deliver the right bytes.
TEST(NtfsMediaTest, InjectedReadFailures) {
  const std::u16string Path = u"Dir1\\Dir2\\Dir3\\Dir4\\Dir5\\Deep.bin";
  uint64_t Reads = 0;
  {
    MediaRig R("ntfs-64k.img");
    uint64_t Before = R.Platform.Trace().ReadCount();
    UINTN Size = 0;
    ASSERT_EQ(R.Info(Path, &Size), EFI_SUCCESS);
    Bytes Loaded;
    ASSERT_EQ(R.Load(Size, &Loaded), EFI_SUCCESS);
    Reads = R.Platform.Trace().ReadCount() - Before;
  }
  ASSERT_GT(Reads, 12u);
  for (uint64_t N = 1; N <= Reads; ++N) {
    SCOPED_TRACE(N);
    MediaRig R("ntfs-64k.img");
    R.Platform.Trace().FailNthRead(R.Platform.Trace().ReadCount() + N);
    UINTN Size = 0;
    EFI_STATUS Status = R.Info(Path, &Size);
    if (EFI_ERROR(Status)) continue;
    Bytes Loaded;
    Status = R.Load(Size, &Loaded);
    if (N == Reads) EXPECT_EQ(Status, EFI_DEVICE_ERROR);
    if (EFI_ERROR(Status)) continue;
    Bytes Oracle = ReadFile(NtfsMediaPath("expected/64k-deep.bin"));
    EXPECT_TRUE(std::equal(Oracle.begin(), Oracle.end(), Loaded.begin()));
  }
}

}  // namespace
