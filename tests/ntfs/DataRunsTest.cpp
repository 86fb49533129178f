// Data run decoding on hand-made run lists.
#include <gtest/gtest.h>

#include <vector>

#include "ntfs_recovery_pei/ntfs/Ntfs.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct RunCase {
  const char *Name;
  Bytes List;
  uint64_t Base;
  uint32_t BlocksPerCluster;
  EFI_STATUS Status;
  std::vector<std::pair<uint64_t, uint64_t>> Runs;  // start, length
};

TEST(DecodeDataRunsTest, Cases) {
  const RunCase Cases[] = {
      {"empty", {0x00}, 7, 8, EFI_SUCCESS, {}},
      {"two runs, back by 8 clusters", {0x11, 0x04, 0x20, 0x11, 0x02, 0xF8, 0x00}, 0, 8,
       EFI_SUCCESS, {{256, 32}, {192, 16}}},
      {"base added", {0x11, 0x01, 0x02, 0x00}, 1000, 8, EFI_SUCCESS, {{1016, 8}}},
      {"4-byte offset, top bit set", {0x41, 0x01, 0x00, 0x00, 0x00, 0x80, 0x00}, 0, 1,
       EFI_SUCCESS, {{0xFFFFFFFF80000000ull, 1}}},
      {"8-byte offset of -1", {0x81, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00},
       10, 1, EFI_SUCCESS, {{9, 1}}},
      {"sparse run keeps the position", {0x11, 0x02, 0x05, 0x01, 0x03, 0x00}, 0, 1,
       EFI_SUCCESS, {{5, 2}, {5, 3}}},
      {"zero length", {0x10, 0x05, 0x00}, 0, 1, EFI_SUCCESS, {{5, 0}}},
      {"length width 9", {0x11, 0x01, 0x01, 0x09, 0x00}, 0, 1, EFI_DEVICE_ERROR, {{1, 1}}},
      {"offset width 9", {0x90, 0x00}, 0, 1, EFI_DEVICE_ERROR, {}},
      {"no terminator", {0x11, 0x01, 0x01}, 0, 1, EFI_DEVICE_ERROR, {{1, 1}}},
      {"run past the list", {0x11, 0x01, 0x01, 0x44, 0x01}, 0, 1, EFI_DEVICE_ERROR, {{1, 1}}},
  };
  for (const RunCase &C : Cases) {
    SCOPED_TRACE(C.Name);
    uint64_t Starts[8] = {}, Lengths[8] = {};
    uint32_t Count = 99;
    EFI_STATUS Status = DecodeDataRuns(Starts, Lengths, 8, C.List.data(),
                                       static_cast<UINT32>(C.List.size()), C.Base,
                                       &Count, C.BlocksPerCluster);
    EXPECT_EQ(Status, C.Status);
    EXPECT_EQ(Count, C.Runs.empty() ? 99u : C.Runs.size());
    for (size_t K = 0; K < C.Runs.size(); ++K) {
      EXPECT_EQ(Starts[K], C.Runs[K].first) << K;
      EXPECT_EQ(Lengths[K], C.Runs[K].second) << K;
    }
    EXPECT_EQ(Lengths[C.Runs.size()], 0u);
  }
}

// More runs than the tables hold: an error, and nothing past the tables.
TEST(DecodeDataRunsTest, StopsAtCapacity) {
  for (uint32_t Runs : {3u, 4u, 5u}) {
    Bytes List;
    for (uint32_t K = 0; K < Runs; ++K) List.insert(List.end(), {0x11, 0x01, 0x01});
    List.push_back(0);
    uint64_t Starts[5] = {0, 0, 0, 0, 0xDEAD}, Lengths[5] = {0, 0, 0, 0, 0xDEAD};
    uint32_t Count = 0;
    EFI_STATUS Status = DecodeDataRuns(Starts, Lengths, 4, List.data(),
                                       static_cast<UINT32>(List.size()), 0, &Count, 1);
    EXPECT_EQ(Status, Runs <= 4 ? EFI_SUCCESS : EFI_DEVICE_ERROR) << Runs;
    EXPECT_EQ(Count, Runs <= 4 ? Runs : 4u);
    EXPECT_EQ(Starts[4], 0xDEADu);
    EXPECT_EQ(Lengths[4], 0xDEADu);
  }
}

}  // namespace
