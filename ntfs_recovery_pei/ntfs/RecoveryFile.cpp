// The lookup of the recovery file on the NTFS volume of block device 0: the
// boot sector's geometry, the path walk, the file's $DATA run list and the
// context's extent list.
#include "ntfs_recovery_pei/OnDisk.h"
#include "ntfs_recovery_pei/block/Block.h"
#include "ntfs_recovery_pei/frame/Frame.h"
#include "ntfs_recovery_pei/ntfs/Ntfs.h"

// Turns the NUL-terminated UTF-16 Path into its key (PATH_KEY_SIZE bytes):
// a backslash gives 0xEE 0x00, any other character its low byte and 0x00,
// the end one byte 0xFF. EFI_DEVICE_ERROR for a path of more than 128
// characters or a component of more than 63; the key is then incomplete.
EFI_STATUS BuildPathKey(const CHAR16 *Path, UINT8 *Key) {
  UINT32 Count = 0;
  while (Path[Count] != 0) {
    if (Count == MAX_PATH_CHARACTERS) return EFI_DEVICE_ERROR;
    UINT8 Low = static_cast<UINT8>(Path[Count]);
    Key[2 * Count] = Path[Count] == u'\\' ? PATH_KEY_SEPARATOR : Low;
    Key[2 * Count + 1] = 0;
    ++Count;
  }
  Key[2 * Count] = PATH_KEY_END;
  // The walk takes components up to the first 0xEE or 0xFF byte; measure
  // them the same way.
  UINT32 ComponentBytes = 0;
  for (UINT32 I = 0; I <= 2 * Count; ++I) {
    if (Key[I] == PATH_KEY_END) break;
    if (Key[I] == PATH_KEY_SEPARATOR) {
      ComponentBytes = 0;
      ++I;  // the zero byte after the separator
      continue;
    }
    if (++ComponentBytes > MAX_COMPONENT_BYTES) return EFI_DEVICE_ERROR;
  }
  return EFI_SUCCESS;
}

// Checks the file's first $DATA attribute at Offset of Record: a plain
// non-resident stream (not compressed, encrypted or sparse) whose runs in
// this record begin the file. Yields its allocated size and the bounds of
// its run list. May receive untrusted input.
static EFI_STATUS CheckFileData(const UINT8 *Record, UINT16 Offset,
                                UINT64 *AllocatedSize, UINT32 *RunList,
                                UINT32 *RunListLength) {
  UINT32 Length = AttributeLength(Record, Offset);
  UINT8 NonResident = Record[Offset + ATTRIBUTE_NON_RESIDENT];
  if (NonResident != 1 || Length < ATTRIBUTE_NON_RESIDENT_HEADER) {
    return EFI_DEVICE_ERROR;
  }
  UINT16 Flags = LoadLe16(Record + Offset + ATTRIBUTE_FLAGS);
  if ((Flags & (ATTRIBUTE_FLAG_COMPRESSION_MASK | ATTRIBUTE_FLAG_ENCRYPTED |
                ATTRIBUTE_FLAG_SPARSE)) != 0) {
    return EFI_DEVICE_ERROR;
  }
  // A segment that does not start at the file's first cluster continues a
  // stream listed in an attribute list.
  if (LoadLe64(Record + Offset + ATTRIBUTE_LOWEST_VCN) != 0) {
    return EFI_DEVICE_ERROR;
  }
  *AllocatedSize = LoadLe64(Record + Offset + ATTRIBUTE_ALLOCATED_SIZE);
  UINT32 End = Offset + Length;
  UINT32 Start = AttributeRunListOffset(Record, Offset);
  if (Start >= End) return EFI_DEVICE_ERROR;
  *RunList = Start;
  *RunListLength = End - Start;
  return EFI_SUCCESS;
}

// Writes extent n for run n while RunLengths[n] is not 0 and sets FileSize
// to the sum of their byte lengths. The extent list was cleared before, so
// a zero-length entry follows the last extent. EFI_DEVICE_ERROR when a
// length in bytes or the sum overflows 64 bits; the extents before it stay.
static EFI_STATUS BuildExtents(RecoveryContext *Context,
                               const UINT64 *RunStarts,
                               const UINT64 *RunLengths,
                               RecoveryFileInfo *Info) {
  UINT64 Total = 0;
  EFI_STATUS Status = EFI_SUCCESS;
  for (UINT32 N = 0; N < FILE_RUN_CAPACITY && RunLengths[N] != 0; ++N) {
    UINT64 Limit = ~static_cast<UINT64>(0);
    if (RunLengths[N] > Limit / NTFS_BLOCK_SIZE ||
        RunLengths[N] * NTFS_BLOCK_SIZE > Limit - Total) {
      Status = EFI_DEVICE_ERROR;
      break;
    }
    UINT64 Bytes = RunLengths[N] * NTFS_BLOCK_SIZE;
    Context->FileExtents[N].StartBlock = RunStarts[N];
    Context->FileExtents[N].ByteLength = static_cast<UINT32>(Bytes);
    Total += Bytes;
  }
  Info->FileSize = Total;
  return Status;
}

// Finds the file named by Path on the NTFS volume of block device 0, lists
// its extents in the context and writes its size, in whole clusters, into
// Info. EFI_LOAD_ERROR when the volume's boot sector is not NTFS;
// EFI_DEVICE_ERROR for every other failure, including a path beyond the
// key's limits, a file that is not a plain non-resident stream or whose
// runs in its record do not cover the whole stream. Every call leaves a
// zero-length extent after the last one it writes. May receive untrusted
// input.
EFI_STATUS LocateRecoveryFile(RecoveryContext *Context, const CHAR16 *Path,
                              RecoveryFileInfo *Info) {
  UINT8 Key[PATH_KEY_SIZE];
  UINT8 BootSector[NTFS_BLOCK_SIZE];
  UINT8 Record[MFT_RECORD_SIZE];
  UINT64 RunStarts[FILE_RUN_TABLE_SIZE];
  UINT64 RunLengths[FILE_RUN_TABLE_SIZE];
  UINT8 EndReached = 0;
  UINT16 Step = 0;
  FillBytes(Key, 0, sizeof(Key));
  FillBytes(RunStarts, 0, sizeof(RunStarts));
  FillBytes(RunLengths, 0, sizeof(RunLengths));
  FillBytes(Context->FileExtents, 0, sizeof(Context->FileExtents));

  if (EFI_ERROR(BuildPathKey(Path, Key))) return EFI_DEVICE_ERROR;
  UINT64 PartitionStart = 0;
  if (EFI_ERROR(LocateNtfsPartition(Context, &PartitionStart)) ||
      EFI_ERROR(DiskRead(Context, 0, PartitionStart, NTFS_BLOCK_SIZE,
                         BootSector))) {
    return EFI_DEVICE_ERROR;
  }
  if (LoadLe32(BootSector + BOOT_OEM_ID) != NTFS_OEM_SIGNATURE) {
    return EFI_LOAD_ERROR;
  }
  UINT32 BlocksPerCluster =
      (static_cast<UINT32>(LoadLe16(BootSector + BOOT_BYTES_PER_SECTOR)) *
       BootSector[BOOT_SECTORS_PER_CLUSTER]) >> 9;
  UINT64 MftStartBlock =
      PartitionStart +
      static_cast<UINT64>(BlocksPerCluster) * LoadLe64(BootSector + BOOT_MFT_CLUSTER);

  UINT64 RecordNumber = 5;  // the root directory
  UINT64 RecordBlock = 0;
  if (EFI_ERROR(WalkPath(Context, 0, Key, sizeof(Key), &Step, MftStartBlock,
                         PartitionStart, &RecordNumber, &EndReached,
                         BlocksPerCluster, &RecordBlock)) ||
      EFI_ERROR(DiskRead(Context, 0, RecordBlock, MFT_RECORD_SIZE, Record))) {
    return EFI_DEVICE_ERROR;
  }
  FixupFileRecord(Record);
  // No "FILE", no $DATA, or a directory named as the file.
  UINT16 Data = FindAttribute(Record, ATTRIBUTE_TYPE_DATA);
  if (Data == 0) return EFI_DEVICE_ERROR;
  UINT64 AllocatedSize = 0;
  UINT32 RunList = 0;
  UINT32 RunListLength = 0;
  if (EFI_ERROR(CheckFileData(Record, Data, &AllocatedSize, &RunList,
                              &RunListLength))) {
    return EFI_DEVICE_ERROR;
  }
  UINT32 RunCount = 0;
  EFI_STATUS Status = DecodeDataRuns(RunStarts, RunLengths, FILE_RUN_CAPACITY,
                                     Record + RunList, RunListLength,
                                     PartitionStart, &RunCount,
                                     BlocksPerCluster);
  // A run list longer than the table is refused whole: no extents.
  if (EFI_ERROR(Status) && RunCount >= FILE_RUN_CAPACITY) return EFI_DEVICE_ERROR;
  EFI_STATUS ExtentStatus = BuildExtents(Context, RunStarts, RunLengths, Info);
  // A bad run header leaves the runs before it listed.
  if (EFI_ERROR(Status)) return Status;
  // Runs that do not cover the whole stream describe part of a file only;
  // none of it is left for a load.
  if (EFI_ERROR(ExtentStatus) || Info->FileSize != AllocatedSize) {
    FillBytes(Context->FileExtents, 0, sizeof(Context->FileExtents));
    return EFI_DEVICE_ERROR;
  }
  return EFI_SUCCESS;
}
