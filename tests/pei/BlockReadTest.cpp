// Block reads: the size test, the physical path and the forwarding of
// partition children to their parents.
#include <gtest/gtest.h>

#include "ntfs_recovery_pei/block/Block.h"
#include "tests/pei/PeiTestSupport.h"

namespace {

using HostPlatform::Status;
using PeiTest::BareContext;
using PeiTest::BlockDevice;
using PeiTest::Bytes;

// A device of Blocks blocks whose every byte tells its block: byte j of
// block b holds (b * 3 + j) & 0xFF.
Bytes NumberedBlocks(uint32_t Blocks, uint32_t BlockSize) {
  Bytes B(static_cast<size_t>(Blocks) * BlockSize);
  for (size_t I = 0; I < B.size(); ++I) {
    B[I] = static_cast<uint8_t>((I / BlockSize) * 3 + I % BlockSize);
  }
  return B;
}

class BlockReadTest : public ::testing::Test {
 protected:
  BareContext Bare;
  RecoveryContext *Context = Bare.Context.get();
  uint64_t Reads() { return Bare.Platform.Trace().ReadCount(); }
  const HostPlatform::ReadRecord &LastRead() {
    return Bare.Platform.Trace().Reads().back();
  }
};

// Whether a request reaches the PPI, against the row's own size. The
// device has no media, so every request that passes the test comes back
// as EFI_NO_MEDIA without touching the buffer.
TEST_F(BlockReadTest, SizeTestAgainstTheRowsEnd) {
  auto Device = BlockDevice::FromBytes(Bytes(512));
  Device->SetMediaPresent(false);
  Bare.AddPhysicalRows({Device});
  struct Case {
    uint64_t LastBlock;
    uint32_t BlockSize;
    uint64_t Start;
    uint32_t Size;
    bool Passes;
  } Cases[] = {
      {99, 512, 99, 512, true},
      {99, 512, 99, 513, false},
      {99, 512, 0, 51200, true},
      {99, 512, 0, 51201, false},
      {99, 512, 100, 1, false},             // one past the end
      {99, 512, 100, 0, true},              // nothing to read there
      {99, 512, 98, 700, true},             // not a whole number of blocks
      {99, 512, 101, 1, false},             // further past the end
      {99, 512, 1ull << 55, 512, false},    // far beyond: no wrap-round
      {99, 512, ~0ull, 1, false},
      {0xFFFFFFFFull, 4096, 0, 0xFFFFFFFFu, true},  // room beyond 4 GiB
      {0, 512, 0, 512, true},
      {0, 0, 0, 1, false},                  // a row of block size 0
  };
  for (const Case &C : Cases) {
    Bare.Row(0).LastBlock = C.LastBlock;
    Bare.Row(0).BlockSize = C.BlockSize;
    const uint64_t Before = Reads();
    uint8_t Sink[1];
    EFI_STATUS S = ReadDeviceBlocks(Context, 0, C.Start, C.Size, Sink);
    SCOPED_TRACE(testing::Message() << "last " << C.LastBlock << " size "
                                    << C.BlockSize << " start " << C.Start
                                    << " bytes " << C.Size);
    EXPECT_EQ(S, C.Passes ? EFI_NO_MEDIA : EFI_DEVICE_ERROR);
    EXPECT_EQ(Reads() - Before, C.Passes ? 1u : 0u);
  }
}

TEST_F(BlockReadTest, IndexIsComparedWithTheTablesCapacity) {
  auto Device = BlockDevice::FromBytes(NumberedBlocks(4, 512));
  Bare.AddPhysicalRows({Device});
  Bare.Row(63) = Bare.Row(0);  // beyond BlockDeviceCount, inside the table
  uint8_t Buffer[512];
  EXPECT_EQ(DiskRead(Context, 63, 2, 512, Buffer), EFI_SUCCESS);
  EXPECT_EQ(Buffer[0], 6);
  EXPECT_EQ(DiskRead(Context, 64, 0, 512, Buffer), EFI_DEVICE_ERROR);
  EXPECT_EQ(DiskRead(Context, 0xFFFFFFFFu, 0, 512, Buffer), EFI_DEVICE_ERROR);
  EXPECT_EQ(Reads(), 1u);
}

// The PPI receives the row's device index within the PPI (not the table
// index), the context's services pointer, the block and the byte count.
TEST_F(BlockReadTest, PhysicalReadPassesTheRowsPpiDeviceIndex) {
  Bare.AddPhysicalRows({BlockDevice::FromBytes(NumberedBlocks(8, 512))});
  Bare.AddPhysicalRows({BlockDevice::FromBytes(Bytes(4096, 0xEE)),
                        BlockDevice::FromBytes(Bytes(4096, 0x11)),
                        BlockDevice::FromBytes(NumberedBlocks(8, 512))});
  ASSERT_EQ(Bare.Row(3).PpiDeviceIndex, 2);
  uint8_t Buffer[700];
  ASSERT_EQ(DiskRead(Context, 3, 5, 700, Buffer), EFI_SUCCESS);
  EXPECT_EQ(Buffer[0], 15);
  EXPECT_EQ(Buffer[699], static_cast<uint8_t>(6 * 3 + 187));  // into block 6
  EXPECT_EQ(LastRead().Instance, 1u);
  EXPECT_EQ(LastRead().DeviceIndex, 2u);
  EXPECT_EQ(LastRead().StartLba, 5u);
  EXPECT_EQ(LastRead().BufferSize, 700u);
  EXPECT_EQ(LastRead().PeiServices,
            reinterpret_cast<uintptr_t>(Context->PeiServices));
}

TEST_F(BlockReadTest, PlatformStatusesPassThrough) {
  auto Device = BlockDevice::FromBytes(NumberedBlocks(16, 512));
  Bare.AddPhysicalRows({Device});
  Device->FailBlockRange(4, 5, Status::MediaChanged);
  uint8_t Buffer[1024];
  EXPECT_EQ(DiskRead(Context, 0, 3, 1024, Buffer), EFI_MEDIA_CHANGED);
  EXPECT_EQ(DiskRead(Context, 0, 2, 1024, Buffer), EFI_SUCCESS);
  Bare.Platform.Trace().FailNthRead(Reads() + 1, Status::NotReady);
  EXPECT_EQ(DiskRead(Context, 0, 2, 1024, Buffer), EFI_NOT_READY);
}

// A child hands its parent StartOffset + start x its own BlockSize as the
// parent's block number, undivided, and each row's size test applies.
TEST_F(BlockReadTest, ChildForwardsTheByteAddressAsTheParentsBlock) {
  auto Device = BlockDevice::FromBytes(Bytes(512));
  Device->SetLastBlock(1u << 20);  // the parent is large; reads are zeros
  Bare.AddPhysicalRows({Device});
  struct Case {
    uint32_t ChildBlockSize;
    uint64_t StartOffset;
    uint64_t ChildLastBlock;
    uint64_t Start;
    uint32_t Size;
    EFI_STATUS Expected;
    uint64_t ParentBlock;  // block the PPI is asked for, when it is asked
  } Cases[] = {
      {512, 1024, 9, 2, 512, EFI_SUCCESS, 1024 + 2 * 512},
      {512, 1024, 9, 0, 5120, EFI_SUCCESS, 1024},
      {512, 1024, 9, 9, 513, EFI_DEVICE_ERROR, 0},            // child's own end
      {2048, 61440, 3, 3, 2048, EFI_SUCCESS, 61440 + 3 * 2048},
      {512, 1u << 20, 99, 1, 512, EFI_DEVICE_ERROR, 0},       // past the parent
  };
  for (const Case &C : Cases) {
    BlockDeviceEntry &Child = Bare.Row(1);
    Child = BlockDeviceEntry{};
    Child.IsPartition = 1;
    Child.ParentIndex = 0;
    Child.BlockSize = C.ChildBlockSize;
    Child.StartOffset = C.StartOffset;
    Child.LastBlock = C.ChildLastBlock;
    Context->BlockDeviceCount = 2;
    const uint64_t Before = Reads();
    uint8_t Buffer[5120];
    SCOPED_TRACE(testing::Message() << "offset " << C.StartOffset << " start " << C.Start);
    EXPECT_EQ(DiskRead(Context, 1, C.Start, C.Size, Buffer), C.Expected);
    if (C.Expected == EFI_SUCCESS) {
      ASSERT_EQ(Reads() - Before, 1u);
      EXPECT_EQ(LastRead().StartLba, C.ParentBlock);
      EXPECT_EQ(LastRead().BufferSize, C.Size);
    } else {
      EXPECT_EQ(Reads(), Before);
    }
  }
}

// A grandchild forwards twice; a parent's failure is the child's result.
TEST_F(BlockReadTest, GrandchildForwardsTwiceAndFailuresComeBack) {
  auto Device = BlockDevice::FromBytes(Bytes(512));
  Device->SetLastBlock(1u << 24);
  Bare.AddPhysicalRows({Device});
  BlockDeviceEntry &Child = Bare.Row(1);
  Child.IsPartition = 1;
  Child.BlockSize = 512;
  Child.LastBlock = 1u << 20;
  Child.StartOffset = 100;
  Child.ParentIndex = 0;
  BlockDeviceEntry &Grandchild = Bare.Row(2);
  Grandchild = Child;
  Grandchild.StartOffset = 7;
  Grandchild.ParentIndex = 1;
  Context->BlockDeviceCount = 3;
  uint8_t Buffer[512];
  ASSERT_EQ(DiskRead(Context, 2, 1, 512, Buffer), EFI_SUCCESS);
  // child block 7 + 512 = 519, parent block 100 + 519 x 512.
  EXPECT_EQ(LastRead().StartLba, 100u + 519u * 512u);
  Device->FailBlockRange(0, ~0ull, Status::NoMedia);
  EXPECT_EQ(DiskRead(Context, 2, 1, 512, Buffer), EFI_NO_MEDIA);
}

// Rows the discovery pass never makes are refused rather than followed:
// a physical row without a PPI, a partition row forwarding in a circle.
TEST_F(BlockReadTest, DamagedRowsAreRefused) {
  BlockDeviceEntry &Orphan = Bare.Row(0);
  Orphan.BlockSize = 512;
  Orphan.LastBlock = 10;
  uint8_t Buffer[512];
  EXPECT_EQ(DiskRead(Context, 0, 0, 512, Buffer), EFI_DEVICE_ERROR);
  EXPECT_EQ(DiskRead(Context, 0, 0, 0, Buffer), EFI_DEVICE_ERROR);
  Orphan.IsPartition = 1;
  Orphan.ParentIndex = 0;  // its own parent
  EXPECT_EQ(DiskRead(Context, 0, 0, 512, Buffer), EFI_DEVICE_ERROR);
}

}  // namespace
