// MBR partition discovery: the soundness test of block 0 and the children
// it appends.
#include <gtest/gtest.h>

#include "ntfs_recovery_pei/block/Block.h"
#include "tests/pei/PeiTestSupport.h"

namespace {

using PeiTest::BareContext;
using PeiTest::Bytes;
using PeiTest::MbrBlock;
using PeiTest::MbrRecordSpec;

struct ValidateCase {
  const char *Name;
  std::vector<MbrRecordSpec> Records;
  uint64_t LastBlock;
  bool Signature;
  bool Expected;
};

TEST(ValidateMbrTest, Table) {
  const ValidateCase Cases[] = {
      {"two records", {{7, 100, 100}, {0, 0, 0}, {0x0C, 300, 50}}, 999, true, true},
      {"no signature", {{7, 100, 100}}, 999, false, false},
      {"all empty", {{0, 0, 0}, {0, 0, 0}}, 999, true, false},
      {"type 0 with a size is empty", {{0, 100, 100}}, 999, true, false},
      {"size 0 with a type is empty", {{7, 100, 0}}, 999, true, false},
      {"empty records never overlap", {{7, 100, 100}, {0, 150, 10}, {7, 150, 0}}, 999, true, true},
      {"adjacent", {{7, 100, 100}, {7, 200, 100}}, 999, true, true},
      {"overlap by one", {{7, 100, 101}, {7, 200, 100}}, 999, true, false},
      {"later contains earlier", {{7, 150, 10}, {7, 100, 100}}, 999, true, false},
      {"ends at the last block", {{7, 900, 100}}, 999, true, true},
      {"ends one past it", {{7, 900, 101}}, 999, true, false},
      {"end wraps modulo 2^32", {{7, 0xFFFFFFF0u, 0x20}}, 0xFFFFFFFFull, true, true},
      {"end beyond a small device", {{7, 0x80000000u, 0x10}}, 999, true, false},
      {"extended and protective types count", {{5, 10, 10}, {0xEE, 20, 10}}, 999, true, true},
  };
  for (const ValidateCase &C : Cases) {
    Bytes Block = MbrBlock(C.Records, C.Signature);
    EXPECT_EQ(ValidateMbr(Block.data(), C.LastBlock), C.Expected ? TRUE : FALSE)
        << C.Name;
  }
}

class MbrDiscoveryTest : public ::testing::Test {
 protected:
  BareContext Bare;
  RecoveryContext *Context = Bare.Context.get();

  // A disk of Blocks blocks with the given records in block 0.
  uint32_t AddDisk(const std::vector<MbrRecordSpec> &Records,
                   uint32_t BlockSize = 512, uint32_t Blocks = 1000) {
    Bytes Image(static_cast<size_t>(Blocks) * BlockSize, 0);
    PeiTest::PutMbr(Image, Records);
    return Bare.AddDisk(std::move(Image), BlockSize);
  }
};

TEST_F(MbrDiscoveryTest, AppendsOneChildPerRecordInRecordOrder) {
  const uint32_t Disk = AddDisk({{7, 100, 200}, {0, 0, 0}, {0x83, 0x80000000u, 0x80000000u}},
                                4096, 1000);
  Bare.Row(Disk).LastBlock = 0xFFFFFFFFull;  // room for the large record
  ASSERT_TRUE(DiscoverMbrPartitions(Context, Disk));
  ASSERT_EQ(Context->BlockDeviceCount, 3u);
  EXPECT_EQ(Bare.Row(Disk).PartitionsScanned, 1);
  const BlockDeviceEntry &First = Bare.Row(1);
  EXPECT_EQ(First.BlockSize, 512u);
  EXPECT_EQ(First.LastBlock, 199u);
  EXPECT_EQ(First.IsPartition, 1);
  EXPECT_EQ(First.PartitionsScanned, 0);
  EXPECT_EQ(First.StartOffset, 4096u * 100u);  // the parent's block size
  EXPECT_EQ(First.ParentIndex, Disk);
  const BlockDeviceEntry &Second = Bare.Row(2);
  EXPECT_EQ(Second.LastBlock, 0x7FFFFFFFull);                  // no sign extension
  EXPECT_EQ(Second.StartOffset, 4096ull * 0x80000000ull);      // unsigned, 64-bit
}

TEST_F(MbrDiscoveryTest, TableFullSkipsTheRemainingRecords) {
  const uint32_t Disk = AddDisk({{7, 10, 10}, {7, 20, 10}, {7, 30, 10}, {7, 40, 10}});
  Context->BlockDeviceCount = 62;
  EXPECT_TRUE(DiscoverMbrPartitions(Context, Disk));
  EXPECT_EQ(Context->BlockDeviceCount, 64u);
  EXPECT_EQ(Bare.Row(63).StartOffset, 20u * 512u);
  // A full table: a sound MBR still yields false, and the row is marked.
  Bare.Row(Disk).PartitionsScanned = 0;
  EXPECT_FALSE(DiscoverMbrPartitions(Context, Disk));
  EXPECT_EQ(Context->BlockDeviceCount, 64u);
  EXPECT_EQ(Bare.Row(Disk).PartitionsScanned, 1);
}

// Every refusal leaves no child; all but an index beyond the table mark
// the row.
TEST_F(MbrDiscoveryTest, RefusalsMarkTheRowWithoutChildren) {
  struct Case {
    const char *Name;
    uint32_t BlockSize;
    bool FailRead;
    bool Sound;
  } Cases[] = {
      {"read fails", 512, true, true},
      {"unsound table", 512, false, false},
      {"block larger than the scratch buffer", 16384, false, true},
      {"block smaller than an MBR", 256, false, true},
  };
  for (const Case &C : Cases) {
    BareContext Local;
    Bytes Image(C.BlockSize * 64, 0);
    PeiTest::PutMbr(Image, {{7, 2, C.Sound ? 3u : 100u}});
    auto Device = PeiTest::BlockDevice::FromBytes(Image, C.BlockSize);
    if (C.FailRead) Device->FailBlockRange(0, 0);
    Local.AddPhysicalRows({Device});
    EXPECT_FALSE(DiscoverMbrPartitions(Local.Context.get(), 0)) << C.Name;
    EXPECT_EQ(Local.Context->BlockDeviceCount, 1u) << C.Name;
    EXPECT_EQ(Local.Row(0).PartitionsScanned, 1) << C.Name;
    // The oversized block is never read into the 8192-byte buffer.
    if (C.BlockSize > BLOCK_BUFFER_SIZE || C.BlockSize < 512) {
      EXPECT_EQ(Local.Platform.Trace().ReadCount(), 0u) << C.Name;
    }
  }
  EXPECT_FALSE(DiscoverMbrPartitions(Context, 64));
}

// The whole block is read at block 0 of the parent, in its own block size.
TEST_F(MbrDiscoveryTest, ReadsOneWholeBlockOfTheParent) {
  AddDisk({{7, 10, 10}}, 2048, 64);
  DiscoverMbrPartitions(Context, 0);
  const auto &Reads = Bare.Platform.Trace().Reads();
  ASSERT_EQ(Reads.size(), 1u);
  EXPECT_EQ(Reads[0].StartLba, 0u);
  EXPECT_EQ(Reads[0].BufferSize, 2048u);
}

}  // namespace
