// The path walk: one path component per recursion level, from the root
// directory down to the record of the last component.
#include "ntfs_recovery_pei/OnDisk.h"
#include "ntfs_recovery_pei/block/Block.h"
#include "ntfs_recovery_pei/frame/Frame.h"
#include "ntfs_recovery_pei/ntfs/Ntfs.h"

// Maps an MFT record number to the 512-byte block where its record begins,
// through the MFT's own runs: the record lies RecordNumber x RecordStride
// blocks into the MFT's data. EFI_DEVICE_ERROR when that offset overflows or
// lies beyond the runs. May receive untrusted input.
EFI_STATUS MapRecordToBlock(UINT64 RecordNumber, UINT32 RecordStride,
                            const UINT64 *RunStarts, const UINT64 *RunLengths,
                            UINT32 RunCount, UINT64 *Block) {
  if (RecordStride != 0 && RecordNumber > ~static_cast<UINT64>(0) / RecordStride) {
    return EFI_DEVICE_ERROR;
  }
  UINT64 Offset = RecordNumber * RecordStride;
  UINT64 Passed = 0;  // blocks of the runs before run K; never above Offset
  for (UINT32 K = 0; K < RunCount; ++K) {
    if (Offset - Passed < RunLengths[K]) {
      *Block = RunStarts[K] + (Offset - Passed);
      return EFI_SUCCESS;
    }
    Passed += RunLengths[K];
  }
  return EFI_DEVICE_ERROR;
}

// Reads the 1024-byte record at Block, tests its "FILE" signature and
// repairs its update sequence.
static EFI_STATUS ReadFileRecord(RecoveryContext *Context, UINT32 DeviceIndex,
                                 UINT64 Block, UINT8 *Record) {
  if (EFI_ERROR(DiskRead(Context, DeviceIndex, Block, MFT_RECORD_SIZE, Record)) ||
      LoadLe32(Record) != FILE_RECORD_SIGNATURE) {
    return EFI_DEVICE_ERROR;
  }
  FixupFileRecord(Record);
  return EFI_SUCCESS;
}

// Decodes the run list of the attribute at AttributeOffset of Record, which
// FindAttribute returned, bounded by the attribute's end.
static EFI_STATUS DecodeAttributeRuns(const UINT8 *Record, UINT16 AttributeOffset,
                                      UINT64 *RunStarts, UINT64 *RunLengths,
                                      UINT32 Capacity, UINT64 PartitionStart,
                                      UINT32 *RunCount,
                                      UINT32 BlocksPerCluster) {
  UINT32 End = AttributeOffset + AttributeLength(Record, AttributeOffset);
  UINT32 RunList = AttributeRunListOffset(Record, AttributeOffset);
  if (RunList >= End) return EFI_DEVICE_ERROR;
  return DecodeDataRuns(RunStarts, RunLengths, Capacity, Record + RunList,
                        End - RunList, PartitionStart, RunCount,
                        BlocksPerCluster);
}

// Copies the component at Key (KeyRemaining bytes left in the key) up to and
// including its marker into Component; sets *Length to the name bytes before
// the marker and EndReached for the end marker. EFI_DEVICE_ERROR when no
// marker comes before the component buffer or the key ends.
static EFI_STATUS TakeComponent(const UINT8 *Key, UINT32 KeyRemaining,
                                UINT8 *Component, UINT16 *Length,
                                UINT8 *EndReached) {
  for (UINT32 I = 0; I < KeyRemaining && I < COMPONENT_BUFFER_SIZE; ++I) {
    Component[I] = Key[I];
    if (Key[I] == PATH_KEY_SEPARATOR || Key[I] == PATH_KEY_END) {
      if (Key[I] == PATH_KEY_END) *EndReached = PATH_KEY_END;
      *Length = static_cast<UINT16>(I);
      return EFI_SUCCESS;
    }
  }
  return EFI_DEVICE_ERROR;
}

// Searches the directory record for the component: its index records when it
// has an $INDEX_ALLOCATION, then its $INDEX_ROOT node (a name can be held
// there in an index of more than one level). Returns the record number or 0.
// May receive untrusted input.
static UINT64 SearchDirectory(RecoveryContext *Context, UINT32 DeviceIndex,
                              const UINT8 *Record, const UINT8 *Component,
                              const UINT16 *ComponentLength,
                              UINT64 PartitionStart, UINT32 BlocksPerCluster,
                              UINT64 *IndexStarts, UINT64 *IndexLengths,
                              BOOLEAN *Failed) {
  UINT64 Found = 0;
  UINT16 Allocation = FindAttribute(Record, ATTRIBUTE_TYPE_INDEX_ALLOCATION);
  if (Allocation != 0) {
    UINT32 RunCount = 0;
    EFI_STATUS Status = DecodeAttributeRuns(
        Record, Allocation, IndexStarts, IndexLengths, WALK_RUN_CAPACITY,
        PartitionStart, &RunCount, BlocksPerCluster);
    // A bad run header leaves the runs before it to search; a list longer
    // than the table cannot be searched whole.
    if (EFI_ERROR(Status) && RunCount >= WALK_RUN_CAPACITY) {
      *Failed = TRUE;
      return 0;
    }
    Found = IndexAllocationSearch(IndexLengths, IndexStarts, Context,
                                  DeviceIndex, Component, ComponentLength,
                                  &RunCount);
    if (Found != 0) return Found;
  }
  UINT16 Root = FindAttribute(Record, ATTRIBUTE_TYPE_INDEX_ROOT);
  if (Root == 0) {
    if (Allocation == 0) *Failed = TRUE;
    return 0;
  }
  // The $INDEX_ROOT is always taken as resident.
  UINT8 NameLength = Record[Root + ATTRIBUTE_NAME_LENGTH];
  UINT32 End = Root + AttributeLength(Record, Root);
  UINT32 Value = Root + ATTRIBUTE_RESIDENT_VALUE + 2u * NameLength;
  if (Value >= End) return 0;
  return IndexRootSearch(Record + Value, End - Value, Component,
                         ComponentLength);
}

// Resolves the component at Key in the directory RecordNumber and, for the
// last component, yields in *RecordBlock the block of the record found;
// otherwise descends into the record found for the next component. Step,
// RecordNumber and EndReached are shared by all levels. EFI_DEVICE_ERROR for
// every failure. May receive untrusted input.
EFI_STATUS WalkPath(RecoveryContext *Context, UINT32 DeviceIndex,
                    const UINT8 *Key, UINT32 KeyRemaining, UINT16 *Step,
                    UINT64 MftStartBlock, UINT64 PartitionStart,
                    UINT64 *RecordNumber, UINT8 *EndReached,
                    UINT32 BlocksPerCluster, UINT64 *RecordBlock) {
  UINT8 Record[MFT_RECORD_SIZE];
  UINT8 Component[COMPONENT_BUFFER_SIZE];
  UINT64 MftStarts[WALK_RUN_CAPACITY];
  UINT64 MftLengths[WALK_RUN_CAPACITY];
  UINT64 IndexStarts[WALK_RUN_CAPACITY];
  UINT64 IndexLengths[WALK_RUN_CAPACITY];
  FillBytes(Component, 0, sizeof(Component));
  FillBytes(MftStarts, 0, sizeof(MftStarts));
  FillBytes(MftLengths, 0, sizeof(MftLengths));
  FillBytes(IndexStarts, 0, sizeof(IndexStarts));
  FillBytes(IndexLengths, 0, sizeof(IndexLengths));

  // MFT record 0 and the MFT's own run list.
  if (EFI_ERROR(ReadFileRecord(Context, DeviceIndex, MftStartBlock, Record))) {
    return EFI_DEVICE_ERROR;
  }
  UINT32 RecordStride = LoadLe32(Record + FILE_RECORD_BYTES_ALLOCATED) >> 9;
  UINT16 MftData = FindAttribute(Record, ATTRIBUTE_TYPE_DATA);
  if (RecordStride == 0 || MftData == 0) return EFI_DEVICE_ERROR;
  UINT32 MftRunCount = 0;
  EFI_STATUS DecodeStatus = DecodeAttributeRuns(
      Record, MftData, MftStarts, MftLengths, WALK_RUN_CAPACITY,
      PartitionStart, &MftRunCount, BlocksPerCluster);
  UINT64 DirectoryBlock = 0;
  if (EFI_ERROR(DecodeStatus) ||
      EFI_ERROR(MapRecordToBlock(*RecordNumber, RecordStride, MftStarts,
                                 MftLengths, MftRunCount, &DirectoryBlock))) {
    return EFI_DEVICE_ERROR;
  }

  UINT16 ComponentLength = 0;
  if (EFI_ERROR(TakeComponent(Key, KeyRemaining, Component, &ComponentLength,
                              EndReached))) {
    return EFI_DEVICE_ERROR;
  }
  *Step = static_cast<UINT16>(ComponentLength + 2);

  // The directory's record and its index.
  if (EFI_ERROR(ReadFileRecord(Context, DeviceIndex, DirectoryBlock, Record))) {
    return EFI_DEVICE_ERROR;
  }
  BOOLEAN Failed = FALSE;
  UINT64 Found = SearchDirectory(Context, DeviceIndex, Record, Component,
                                 &ComponentLength, PartitionStart,
                                 BlocksPerCluster, IndexStarts, IndexLengths,
                                 &Failed);
  if (Failed || Found == 0) return EFI_DEVICE_ERROR;
  *RecordNumber = Found;

  if (*EndReached == PATH_KEY_END) {
    return MapRecordToBlock(Found, RecordStride, MftStarts, MftLengths,
                            MftRunCount, RecordBlock);
  }
  if (*Step > KeyRemaining) return EFI_DEVICE_ERROR;
  return WalkPath(Context, DeviceIndex, Key + *Step, KeyRemaining - *Step, Step,
                  MftStartBlock, PartitionStart, RecordNumber, EndReached,
                  BlocksPerCluster, RecordBlock);
}
