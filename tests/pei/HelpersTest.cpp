// The module's small byte and GUID operations.
#include <gtest/gtest.h>

#include <string.h>

#include "ntfs_recovery_pei/frame/Frame.h"
#include "tests/pei/PeiTestSupport.h"

namespace {

// MoveBytes must give memmove's result for every placement of two ranges
// inside one buffer: overlapping either way, adjacent, apart, odd lengths.
TEST(MoveBytesTest, MatchesMemmoveForEveryOverlap) {
  struct Case {
    uint32_t Source, Destination, Count;
  } Cases[] = {
      {0, 1, 9},    // destination one byte above: backward copy
      {1, 0, 9},    // destination below: forward copy
      {0, 3, 11},   // overlap by less than one 4-byte unit
      {3, 0, 11},
      {0, 0, 8},    // same place
      {0, 16, 7},   // apart, destination above
      {16, 0, 13},  // apart, destination below
      {0, 5, 5},    // adjacent: last source byte just below destination
      {2, 4, 1},
      {4, 2, 0},
  };
  for (const Case &C : Cases) {
    uint8_t Expected[32], Actual[32];
    for (int I = 0; I < 32; ++I) Expected[I] = Actual[I] = static_cast<uint8_t>(I * 7 + 1);
    memmove(Expected + C.Destination, Expected + C.Source, C.Count);
    void *Result = MoveBytes(Actual + C.Destination, Actual + C.Source, C.Count);
    EXPECT_EQ(Result, Actual + C.Destination);
    EXPECT_EQ(0, memcmp(Expected, Actual, sizeof(Actual)))
        << "source " << C.Source << " destination " << C.Destination
        << " count " << C.Count;
  }
}

TEST(CompareBytesTest, DifferenceOfFirstUnequalPairAsUnsigned) {
  const uint8_t A[] = {1, 2, 0xFF, 0x00};
  const uint8_t B[] = {1, 2, 0x01, 0xFF};
  EXPECT_EQ(CompareBytes(A, B, 4), 254);  // stops at index 2, not at 3
  EXPECT_EQ(CompareBytes(B, A, 4), -254);
  EXPECT_EQ(CompareBytes(A, B, 2), 0);
  EXPECT_EQ(CompareBytes(A, A, 4), 0);
}

TEST(GuidsEqualTest, FalseWhenAnyOneByteDiffers) {
  const EFI_GUID Base = EFI_PEI_RECOVERY_BLOCK_IO_PPI_GUID;
  EFI_GUID Copy = Base;
  EXPECT_TRUE(GuidsEqual(&Base, &Copy));
  for (int I = 0; I < 16; ++I) {
    EFI_GUID Changed = Base;
    reinterpret_cast<uint8_t *>(&Changed)[I] ^= 0x01;
    EXPECT_FALSE(GuidsEqual(&Base, &Changed)) << "byte " << I;
  }
}

// A GPT entry's type GUID lies at any offset of a sector buffer.
TEST(GuidsEqualTest, AcceptsUnalignedGuids) {
  uint8_t Buffer[40] = {};
  memcpy(Buffer + 3, PeiTest::kBasicDataType, 16);
  memcpy(Buffer + 21, PeiTest::kBasicDataType, 16);
  EXPECT_TRUE(GuidsEqual(reinterpret_cast<const EFI_GUID *>(Buffer + 3),
                         reinterpret_cast<const EFI_GUID *>(Buffer + 21)));
}

TEST(FillBytesTest, SetsExactlyCountBytes) {
  uint8_t Buffer[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  EXPECT_EQ(FillBytes(Buffer + 1, 0x5A, 6), Buffer + 1);
  const uint8_t Expected[8] = {9, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 9};
  EXPECT_EQ(0, memcmp(Buffer, Expected, 8));
}

// LocatePcdPpi goes through the services pointer below the IDT and yields
// null when no PCD PPI is installed.
TEST(LocatePcdPpiTest, InstalledOrNull) {
  {
    HostPei::SimulatedPeiPlatform Platform;
    EXPECT_EQ(ReadPeiServicesFromIdt(), Platform.Services());
    PCD_PPI *Pcd = LocatePcdPpi();
    ASSERT_NE(Pcd, nullptr);
    Platform.SetRecoveryPath(u"a\\b.cap");
    EXPECT_EQ(std::u16string(static_cast<char16_t *>(Pcd->GetPtr(3))), u"a\\b.cap");
    EXPECT_EQ(Pcd->GetPtr(2), nullptr);
  }
  {
    HostPei::SimulatedPeiPlatform Platform({/*InstallPcdPpi=*/false});
    EXPECT_EQ(LocatePcdPpi(), nullptr);
  }
}

}  // namespace
