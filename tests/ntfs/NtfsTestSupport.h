// Byte builders for the NTFS reader's tests: "FILE" records with resident
// and non-resident attributes, index entries, $INDEX_ROOT values, "INDX"
// records, and a small whole-device volume (4096-byte clusters, the MFT at
// cluster 4) whose records and clusters a test fills by hand. Each builder
// writes the on-disk layout field by field.
#ifndef TESTS_NTFS_NTFS_TEST_SUPPORT_H_
#define TESTS_NTFS_NTFS_TEST_SUPPORT_H_

#include <stdint.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host/pei/SimulatedPeiPlatform.h"
#include "ntfs_recovery_pei/NtfsRecoveryPei.h"

namespace NtfsTest {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes &B, size_t Off, uint16_t V) {
  for (int I = 0; I < 2; ++I) B.at(Off + I) = static_cast<uint8_t>(V >> (8 * I));
}
inline void Put32(Bytes &B, size_t Off, uint32_t V) {
  for (int I = 0; I < 4; ++I) B.at(Off + I) = static_cast<uint8_t>(V >> (8 * I));
}
inline void Put64(Bytes &B, size_t Off, uint64_t V) {
  for (int I = 0; I < 8; ++I) B.at(Off + I) = static_cast<uint8_t>(V >> (8 * I));
}
inline uint16_t Get16(const Bytes &B, size_t Off) {
  return static_cast<uint16_t>(B.at(Off) | (B.at(Off + 1) << 8));
}
inline void Append(Bytes &To, const Bytes &From) {
  To.insert(To.end(), From.begin(), From.end());
}

// Writes the update sequence: array at ArrayOffset (number, then one saved
// word per 512-byte block), each block's last word replaced by Number.
inline void Protect(Bytes &R, size_t ArrayOffset, uint16_t Number) {
  size_t Blocks = R.size() / 512;
  Put16(R, ArrayOffset, Number);
  for (size_t K = 0; K < Blocks; ++K) {
    Put16(R, ArrayOffset + 2 + 2 * K, Get16(R, 512 * K + 510));
    Put16(R, 512 * K + 510, Number);
  }
}

// A resident attribute: header (type 0x00, length 0x04, non-resident 0 at
// 0x08, name length 0x09, name offset 0x0A, value length 0x10, value offset
// 0x14), the name at 0x18, the value after it, padded to 8 bytes.
inline Bytes ResidentAttribute(uint32_t Type, const Bytes &Value,
                               const std::u16string &Name = u"") {
  size_t ValueOffset = 0x18 + 2 * Name.size();
  Bytes A(((ValueOffset + Value.size() + 7) / 8) * 8, 0);
  Put32(A, 0x00, Type);
  Put32(A, 0x04, static_cast<uint32_t>(A.size()));
  A[0x09] = static_cast<uint8_t>(Name.size());
  Put16(A, 0x0A, 0x18);
  Put32(A, 0x10, static_cast<uint32_t>(Value.size()));
  Put16(A, 0x14, static_cast<uint16_t>(ValueOffset));
  for (size_t I = 0; I < Name.size(); ++I) Put16(A, 0x18 + 2 * I, Name[I]);
  for (size_t I = 0; I < Value.size(); ++I) A[ValueOffset + I] = Value[I];
  return A;
}

struct NonResidentLayout {
  uint32_t Type = 0x80;
  Bytes Runs;                 // the run list, its 0x00 terminator included
  uint64_t AllocatedSize = 0;
  uint16_t Flags = 0;
  uint64_t LowestVcn = 0;
  std::u16string Name;
};

// A non-resident attribute: flag 1 at 0x08, flags 0x0C, lowest VCN 0x10,
// run list offset 0x20, allocated/data/initialized sizes 0x28/0x30/0x38, the
// name at 0x40 and the run list right after it.
inline Bytes NonResidentAttribute(const NonResidentLayout &S) {
  size_t RunOffset = 0x40 + 2 * S.Name.size();
  Bytes A(((RunOffset + S.Runs.size() + 7) / 8) * 8, 0);
  Put32(A, 0x00, S.Type);
  Put32(A, 0x04, static_cast<uint32_t>(A.size()));
  A[0x08] = 1;
  A[0x09] = static_cast<uint8_t>(S.Name.size());
  Put16(A, 0x0A, 0x40);
  Put16(A, 0x0C, S.Flags);
  Put64(A, 0x10, S.LowestVcn);
  Put16(A, 0x20, static_cast<uint16_t>(RunOffset));
  Put64(A, 0x28, S.AllocatedSize);
  Put64(A, 0x30, S.AllocatedSize);
  Put64(A, 0x38, S.AllocatedSize);
  for (size_t I = 0; I < S.Name.size(); ++I) Put16(A, 0x40 + 2 * I, S.Name[I]);
  for (size_t I = 0; I < S.Runs.size(); ++I) A[RunOffset + I] = S.Runs[I];
  return A;
}

// A 1024-byte "FILE" record: update sequence count 3 at 0x06, first
// attribute 0x38 at 0x14, bytes in use 0x18, bytes allocated 0x1C, the array
// at 0x30, the attributes and the end marker, protected with number 7.
inline Bytes FileRecord(const std::vector<Bytes> &Attributes,
                        uint32_t BytesAllocated = 1024) {
  Bytes R(1024, 0);
  R[0] = 'F'; R[1] = 'I'; R[2] = 'L'; R[3] = 'E';
  Put16(R, 0x04, 0x30);
  Put16(R, 0x06, 3);
  Put16(R, 0x14, 0x38);
  size_t Offset = 0x38;
  for (const Bytes &A : Attributes) {
    for (size_t I = 0; I < A.size(); ++I) R.at(Offset + I) = A[I];
    Offset += A.size();
  }
  Put32(R, Offset, 0xFFFFFFFF);
  Put32(R, 0x18, static_cast<uint32_t>(Offset + 8));
  Put32(R, 0x1C, BytesAllocated);
  Protect(R, 0x30, 7);
  return R;
}

// One index entry: file reference at 0x00 (48-bit record number, sequence
// number 1), entry length 0x08, key length 0x0A, the $FILE_NAME key from
// 0x10 with name length at 0x50 and the name at 0x52; length rounded to 8.
inline Bytes IndexEntry(uint64_t RecordNumber, const std::u16string &Name) {
  Bytes E(((0x52 + 2 * Name.size() + 7) / 8) * 8, 0);
  Put32(E, 0x00, static_cast<uint32_t>(RecordNumber));
  Put16(E, 0x04, static_cast<uint16_t>(RecordNumber >> 32));
  Put16(E, 0x06, 1);
  Put16(E, 0x08, static_cast<uint16_t>(E.size()));
  Put16(E, 0x0A, static_cast<uint16_t>(0x42 + 2 * Name.size()));
  E[0x50] = static_cast<uint8_t>(Name.size());
  E[0x51] = 1;
  for (size_t I = 0; I < Name.size(); ++I) Put16(E, 0x52 + 2 * I, Name[I]);
  return E;
}

// The end entry of a node: record number 0, length 0x10, flag 2 (last).
inline Bytes EndEntry() {
  Bytes E(0x10, 0);
  Put16(E, 0x08, 0x10);
  E[0x0C] = 2;
  return E;
}

inline Bytes Entries(const std::vector<Bytes> &List) {
  Bytes Out;
  for (const Bytes &E : List) Append(Out, E);
  return Out;
}

// An $INDEX_ROOT value: indexed type $FILE_NAME, collation 1, index record
// size 4096; the node header at 0x10 (first entry 0x10, bytes in use and
// allocated from 0x10) and the entries from 0x20.
inline Bytes IndexRootValue(const Bytes &EntryBytes, uint32_t Allocated = 0) {
  Bytes V(0x20, 0);
  Put32(V, 0x00, 0x30);
  Put32(V, 0x04, 1);
  Put32(V, 0x08, 4096);
  V[0x0C] = 1;
  Put32(V, 0x10, 0x10);
  Put32(V, 0x14, static_cast<uint32_t>(0x10 + EntryBytes.size()));
  Put32(V, 0x18, Allocated ? Allocated : static_cast<uint32_t>(0x10 + EntryBytes.size()));
  Append(V, EntryBytes);
  return V;
}

// An "INDX" record of Blocks 512-byte blocks: update sequence array at 0x28
// (count Blocks + 1 at 0x06), first entry at 0x18 + FirstEntry, allocated
// size Blocks x 512 - 0x18, the entries at FirstEntry + 0x18, protected
// with number 0x33.
inline Bytes IndxRecord(const Bytes &EntryBytes, uint32_t Blocks = 8,
                        uint32_t FirstEntry = 0x28) {
  Bytes R(512 * Blocks, 0);
  R[0] = 'I'; R[1] = 'N'; R[2] = 'D'; R[3] = 'X';
  Put16(R, 0x04, 0x28);
  Put16(R, 0x06, static_cast<uint16_t>(Blocks + 1));
  Put32(R, 0x18, FirstEntry);
  Put32(R, 0x1C, static_cast<uint32_t>(FirstEntry + EntryBytes.size()));
  Put32(R, 0x20, 512 * Blocks - 0x18);
  for (size_t I = 0; I < EntryBytes.size(); ++I) R.at(0x18 + FirstEntry + I) = EntryBytes[I];
  Protect(R, 0x28, 0x33);
  return R;
}

// A run list of (length, offset) pairs in clusters, with 4-byte length and
// offset fields, and its terminator.
inline Bytes RunList(const std::vector<std::pair<uint64_t, int64_t>> &Runs) {
  Bytes L;
  for (const auto &Run : Runs) {
    L.push_back(0x44);
    for (int I = 0; I < 4; ++I) L.push_back(static_cast<uint8_t>(Run.first >> (8 * I)));
    for (int I = 0; I < 4; ++I)
      L.push_back(static_cast<uint8_t>(static_cast<uint64_t>(Run.second) >> (8 * I)));
  }
  L.push_back(0);
  return L;
}

// A whole-device volume of 4096-byte clusters (8 blocks): the boot sector,
// the MFT at cluster 4 (64 records of 1024 bytes in one run of 16
// clusters), MFT record 0 with that run list, and data clusters from
// cluster 32 on.
class MiniVolume {
 public:
  static constexpr uint64_t kMftCluster = 4;
  static constexpr uint32_t kClusterBytes = 4096;

  explicit MiniVolume(size_t Clusters = 256) : Image(Clusters * kClusterBytes, 0) {
    Image[3] = 'N'; Image[4] = 'T'; Image[5] = 'F'; Image[6] = 'S';
    Put16(Image, 0x0B, 512);
    Image[0x0D] = 8;
    Put64(Image, 0x30, kMftCluster);
    Put16(Image, 0x1FE, 0xAA55);
    SetRecord(0, MftRecord(RunList({{16, kMftCluster}})));
  }

  // MFT record 0 with the given run list for its $DATA.
  static Bytes MftRecord(const Bytes &Runs) {
    NonResidentLayout Data;
    Data.Runs = Runs;
    Data.AllocatedSize = 16 * kClusterBytes;
    return FileRecord({NonResidentAttribute(Data)});
  }

  // Writes a 1024-byte record as record N of the MFT's one run.
  void SetRecord(uint64_t N, const Bytes &Record) {
    PutBytes(kMftCluster * kClusterBytes + 1024 * N, Record);
  }
  void PutBytes(size_t Offset, const Bytes &B) {
    for (size_t I = 0; I < B.size(); ++I) Image.at(Offset + I) = B[I];
  }
  void PutCluster(uint64_t Cluster, const Bytes &B) { PutBytes(Cluster * kClusterBytes, B); }

  // A directory record with the given $INDEX_ROOT entries and, when
  // AllocationRuns is not empty, an $INDEX_ALLOCATION with those runs.
  static Bytes DirectoryRecord(const Bytes &RootEntries, const Bytes &AllocationRuns = {},
                               uint64_t AllocationBytes = 0) {
    std::vector<Bytes> Attributes = {
        ResidentAttribute(0x90, IndexRootValue(RootEntries), u"$I30")};
    if (!AllocationRuns.empty()) {
      NonResidentLayout Allocation;
      Allocation.Type = 0xA0;
      Allocation.Runs = AllocationRuns;
      Allocation.AllocatedSize = AllocationBytes;
      Allocation.Name = u"$I30";
      Attributes.push_back(NonResidentAttribute(Allocation));
    }
    return FileRecord(Attributes);
  }

  // A file record whose $DATA has the given runs and allocated size.
  static Bytes DataFileRecord(const Bytes &Runs, uint64_t AllocatedSize,
                              uint16_t Flags = 0, uint64_t LowestVcn = 0) {
    NonResidentLayout Data;
    Data.Runs = Runs;
    Data.AllocatedSize = AllocatedSize;
    Data.Flags = Flags;
    Data.LowestVcn = LowestVcn;
    return FileRecord({ResidentAttribute(0x10, Bytes(0x48, 0)),
                       NonResidentAttribute(Data)});
  }

  Bytes Image;
};

// Byte I of the test pattern of a mini volume's data clusters.
inline uint8_t Pattern(uint64_t I) { return static_cast<uint8_t>((I * 131 + (I >> 9)) & 0xFF); }

inline Bytes ReadFile(const std::string &Path) {
  std::ifstream In(Path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

inline std::string NtfsMediaPath(const std::string &Name) {
  const char *Dir = getenv("PROJECT_BINARY_DIR");
  return std::string(Dir ? Dir : ".") + "/media/ntfs/" + Name;
}

}  // namespace NtfsTest

#endif  // TESTS_NTFS_NTFS_TEST_SUPPORT_H_
