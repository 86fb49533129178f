// Makes the seed corpus of the fuzz targets from a real disk image: runs
// the whole recovery request over it on the simulated platform, notes the
// 512-byte blocks that the module read, and writes
//   partitions/NAME    the blocks the discovery pass read
//   volume/NAME        the blocks of the whole request, with the path
//   file_record/NAME-N each MFT record the lookup read
//   data_runs/NAME-N   the run list of each $DATA and $INDEX_ALLOCATION
//   index_root/NAME-N  each $INDEX_ROOT value, keyed by each path component
//   index_alloc/NAME-N the index runs of each directory, keyed likewise,
//                      with the blocks of the whole request
// as the targets' input formats describe them.
//
//   fuzz_seed_maker OUTDIR NAME IMAGE BLOCK_SIZE [PATH]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include "fuzz/FuzzInput.h"
#include "host/pei/SimulatedPeiPlatform.h"
#include "ntfs_recovery_pei/OnDisk.h"
#include "ntfs_recovery_pei/block/Block.h"
#include "ntfs_recovery_pei/frame/Frame.h"
#include "ntfs_recovery_pei/ntfs/Ntfs.h"

namespace {

using Bytes = std::vector<uint8_t>;

void WriteSeed(const std::string &Dir, const std::string &Name, const Bytes &Data) {
  mkdir(Dir.c_str(), 0755);
  std::string Path = Dir + "/" + Name;
  FILE *F = fopen(Path.c_str(), "wb");
  if (F == nullptr || fwrite(Data.data(), 1, Data.size(), F) != Data.size()) {
    fprintf(stderr, "seed maker: cannot write %s\n", Path.c_str());
    exit(1);
  }
  fclose(F);
}

void Put(Bytes &Out, uint64_t Value, int Width) {
  for (int I = 0; I < Width; ++I) Out.push_back(static_cast<uint8_t>(Value >> (8 * I)));
}

// The 512-byte blocks touched by the reads of the trace from entry First.
std::vector<uint64_t> BlocksRead(const HostPlatform::ReadTrace &Trace, size_t First,
                                 uint32_t BlockSize) {
  std::set<uint64_t> Blocks;
  const auto &Reads = Trace.Reads();
  for (size_t I = First; I < Reads.size(); ++I) {
    uint64_t Begin = Reads[I].StartLba * BlockSize;
    uint64_t End = Begin + Reads[I].BufferSize;
    if (Begin >= Fuzz::kMaxStoreBytes) continue;
    if (End > Fuzz::kMaxStoreBytes) End = Fuzz::kMaxStoreBytes;
    for (uint64_t B = Begin / 512; B * 512 < End; ++B) Blocks.insert(B);
  }
  return std::vector<uint64_t>(Blocks.begin(), Blocks.end());
}

// The path components in the key form: low byte, zero byte.
std::vector<Bytes> Components(const std::u16string &Path) {
  std::vector<Bytes> Out(1);
  for (char16_t C : Path) {
    if (C == u'\\') {
      Out.emplace_back();
      continue;
    }
    Out.back().push_back(static_cast<uint8_t>(C));
    Out.back().push_back(0);
  }
  return Out;
}

}  // namespace

int main(int Argc, char **Argv) {
  if (Argc < 5) {
    fprintf(stderr, "usage: fuzz_seed_maker OUTDIR NAME IMAGE BLOCK_SIZE [PATH]\n");
    return 2;
  }
  const std::string Out = Argv[1];
  const std::string Name = Argv[2];
  const uint32_t BlockSize = static_cast<uint32_t>(strtoul(Argv[4], nullptr, 0));
  std::u16string Path;
  if (Argc > 5) {
    for (const char *C = Argv[5]; *C; ++C) Path.push_back(static_cast<char16_t>(*C));
  }
  mkdir(Out.c_str(), 0755);

  HostPlatform::BlockDevicePtr Device =
      HostPlatform::BlockDevice::OpenImage(Argv[3], BlockSize);
  // The image's bytes, for the chunks of the seeds.
  Bytes Store(Device->StoreSize() < Fuzz::kMaxStoreBytes ? Device->StoreSize()
                                                         : Fuzz::kMaxStoreBytes);
  Device->ReadBytes(0, Store.size(), Store.data());
  const uint8_t Flags = Fuzz::FlagsOfBlockSize(BlockSize);
  const uint32_t LastBlock = static_cast<uint32_t>(Device->Media().LastBlock);

  HostPei::SimulatedPeiPlatform Platform;
  Platform.SetRecoveryPath(Path);
  Platform.AddBlockIoPpi({Device});
  if (EFI_ERROR(Platform.RunEntryPoint())) {
    fprintf(stderr, "seed maker: the entry point failed on %s\n", Argv[3]);
    return 1;
  }
  WriteSeed(Out + "/partitions", Name,
            Fuzz::SerializeDeviceImage(Flags, LastBlock, u"",
                                       Store, BlocksRead(Platform.Trace(), 0, BlockSize)));
  if (Path.empty()) return 0;

  const size_t LookupStart = Platform.Trace().Reads().size();
  EFI_PEI_DEVICE_RECOVERY_MODULE_PPI *Ppi = Platform.RecoveryPpi();
  UINTN Size = 0;
  EFI_GUID Type;
  EFI_STATUS Status = Ppi->GetRecoveryCapsuleInfo(Platform.Services(), Ppi, 0, &Size, &Type);
  if (EFI_ERROR(Status)) {
    fprintf(stderr, "seed maker: no capsule on %s (status %#x)\n", Argv[3],
            static_cast<unsigned>(Status));
    return 1;
  }
  Bytes Buffer(Size + 1);
  Ppi->LoadRecoveryCapsule(Platform.Services(), Ppi, 0, Buffer.data());
  const Bytes Volume = Fuzz::SerializeDeviceImage(
      Flags, LastBlock, Path, Store, BlocksRead(Platform.Trace(), 0, BlockSize));
  WriteSeed(Out + "/volume", Name, Volume);

  // The volume's geometry, as the lookup derives it.
  RecoveryContext *Context = Platform.Context();
  UINT64 PartitionStart = 0;
  LocateNtfsPartition(Context, &PartitionStart);
  UINT8 Boot[512] = {};
  Device->ReadBytes(PartitionStart * 512, sizeof(Boot), Boot);
  const UINT32 BlocksPerCluster = (LoadLe16(Boot + BOOT_BYTES_PER_SECTOR) *
                                   Boot[BOOT_SECTORS_PER_CLUSTER]) >> 9;
  const uint8_t Cluster = static_cast<uint8_t>(BlocksPerCluster < 128
                                                   ? 0x80 | BlocksPerCluster
                                                   : 7);

  const std::vector<Bytes> Keys = Components(Path);
  std::set<uint64_t> RecordsSeen;
  int Records = 0, Runs = 0, Roots = 0, Allocations = 0;
  const auto &Reads = Platform.Trace().Reads();
  for (size_t I = LookupStart; I < Reads.size(); ++I) {
    if (Reads[I].BufferSize != MFT_RECORD_SIZE) continue;
    uint64_t At = Reads[I].StartLba * BlockSize;
    if (!RecordsSeen.insert(At).second) continue;
    Bytes Record(MFT_RECORD_SIZE);
    Device->ReadBytes(At, MFT_RECORD_SIZE, Record.data());
    if (LoadLe32(Record.data()) != FILE_RECORD_SIGNATURE) continue;
    WriteSeed(Out + "/file_record", Name + "-" + std::to_string(Records++), Record);
    FixupFileRecord(Record.data());

    for (UINT32 AttrType : {ATTRIBUTE_TYPE_DATA, ATTRIBUTE_TYPE_INDEX_ALLOCATION}) {
      UINT16 Offset = FindAttribute(Record.data(), AttrType);
      if (Offset == 0 || Record[Offset + ATTRIBUTE_NON_RESIDENT] != 1) continue;
      UINT32 End = Offset + AttributeLength(Record.data(), Offset);
      UINT32 List = AttributeRunListOffset(Record.data(), Offset);
      if (List >= End) continue;
      Bytes Seed;
      Put(Seed, Cluster, 1);
      Put(Seed, PartitionStart, 8);
      Put(Seed, AttrType == ATTRIBUTE_TYPE_DATA ? FILE_RUN_CAPACITY : WALK_RUN_CAPACITY, 1);
      Put(Seed, 5, 8);
      Put(Seed, LoadLe32(Record.data() + FILE_RECORD_BYTES_ALLOCATED) >> 9, 4);
      Seed.insert(Seed.end(), Record.begin() + List, Record.begin() + End);
      WriteSeed(Out + "/data_runs", Name + "-" + std::to_string(Runs++), Seed);
      if (AttrType != ATTRIBUTE_TYPE_INDEX_ALLOCATION) continue;

      UINT64 Starts[WALK_RUN_CAPACITY] = {};
      UINT64 Lengths[WALK_RUN_CAPACITY] = {};
      UINT32 Count = 0;
      DecodeDataRuns(Starts, Lengths, WALK_RUN_CAPACITY, Record.data() + List,
                     End - List, PartitionStart, &Count, BlocksPerCluster);
      for (const Bytes &Key : Keys) {
        Bytes Alloc;
        Put(Alloc, Key.size(), 1);
        Alloc.insert(Alloc.end(), Key.begin(), Key.end());
        Put(Alloc, Count, 1);
        for (UINT32 K = 0; K < Count; ++K) {
          Put(Alloc, Starts[K], 8);
          Put(Alloc, Lengths[K], 8);
        }
        Alloc.insert(Alloc.end(), Volume.begin(), Volume.end());
        WriteSeed(Out + "/index_alloc", Name + "-" + std::to_string(Allocations++), Alloc);
      }
    }

    UINT16 Root = FindAttribute(Record.data(), ATTRIBUTE_TYPE_INDEX_ROOT);
    if (Root != 0) {
      UINT32 End = Root + AttributeLength(Record.data(), Root);
      UINT32 Value = AttributeRunListOffset(Record.data(), Root);
      if (Value >= End) continue;
      for (const Bytes &Key : Keys) {
        Bytes Seed;
        Put(Seed, Key.size(), 1);
        Seed.insert(Seed.end(), Key.begin(), Key.end());
        Seed.insert(Seed.end(), Record.begin() + Value, Record.begin() + End);
        WriteSeed(Out + "/index_root", Name + "-" + std::to_string(Roots++), Seed);
      }
    }
  }
  return 0;
}
