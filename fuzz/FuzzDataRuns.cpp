// Fuzz target: data run decoding and the mapping of record numbers through
// the runs. Input:
//   u8  cluster size: bit 7 set, the low 7 bits are blocks per cluster;
//       else 2^(low 3 bits)
//   u64 base block
//   u8  table capacity (at most the file's table of 142 entries)
//   u64 record number, u32 record stride in blocks
//   the run list
// The tables have exactly the capacity given, so a write past it is caught.
#include <string.h>

#include "fuzz/FuzzInput.h"
#include "ntfs_recovery_pei/ntfs/Ntfs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  Fuzz::ByteReader Reader(Data, Size);
  UINT8 Cluster = Reader.U8();
  UINT32 BlocksPerCluster = (Cluster & 0x80) ? (Cluster & 0x7Fu) : (1u << (Cluster & 7));
  UINT64 Base = Reader.U64();
  UINT32 Capacity = Reader.U8();
  if (Capacity > FILE_RUN_TABLE_SIZE) Capacity = FILE_RUN_TABLE_SIZE;
  UINT64 RecordNumber = Reader.U64();
  UINT32 Stride = Reader.U32();

  UINT32 ListLength = static_cast<UINT32>(Reader.Remaining());
  UINT8 *List = new UINT8[ListLength + (ListLength == 0 ? 1 : 0)];
  memcpy(List, Reader.Rest(), ListLength);
  UINT64 *Starts = new UINT64[Capacity + (Capacity == 0 ? 1 : 0)];
  UINT64 *Lengths = new UINT64[Capacity + (Capacity == 0 ? 1 : 0)];
  UINT32 Count = 0;
  DecodeDataRuns(Starts, Lengths, Capacity, List, ListLength, Base, &Count,
                 BlocksPerCluster);
  if (Count > Capacity) Fuzz::Fail("more runs than the capacity");

  UINT64 Block = 0;
  if (!EFI_ERROR(MapRecordToBlock(RecordNumber, Stride, Starts, Lengths, Count,
                                  &Block))) {
    // The block lies in one of the runs.
    bool Inside = false;
    for (UINT32 K = 0; K < Count && !Inside; ++K) {
      Inside = Block - Starts[K] < Lengths[K];
    }
    if (!Inside) Fuzz::Fail("a mapped record lies outside every run");
  }
  delete[] List;
  delete[] Starts;
  delete[] Lengths;
  return 0;
}
