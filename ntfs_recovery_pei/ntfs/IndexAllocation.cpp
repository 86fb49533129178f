// The scan of a directory's index records ("INDX") through a 2048-byte
// window: every record of every run, every entry in stored order, the first
// name equal to the key wins. Sub-nodes, entry flags, VCNs and the bitmap
// are not read.
#include "ntfs_recovery_pei/OnDisk.h"
#include "ntfs_recovery_pei/block/Block.h"
#include "ntfs_recovery_pei/ntfs/Ntfs.h"

namespace {

// Working state of one scan: the window and the current record.
struct IndexScan {
  RecoveryContext *Context;
  UINT32 DeviceIndex;
  UINT64 RunStart;          // first block of the run on the device
  UINT64 WindowStart;       // first block of the window, from RunStart
  UINT64 RecordStart;       // first block of the current record, from RunStart
  UINT32 BlocksPerRecord;
  UINT16 SequenceNumber;
  UINT16 SequenceCount;
  UINT16 Saved[INDEX_SAVED_WORDS];
  UINT8 Window[INDEX_WINDOW_SIZE];
};

enum ScanOutcome { SCAN_NEXT_RECORD, SCAN_FOUND, SCAN_STOP };

// Reads the window at its current start; false when the read fails.
bool ReadWindow(IndexScan *Scan) {
  return !EFI_ERROR(DiskRead(Scan->Context, Scan->DeviceIndex,
                             Scan->RunStart + Scan->WindowStart,
                             INDEX_WINDOW_SIZE, Scan->Window));
}

// Puts back the saved last words of the record's blocks that lie in the
// window, which begins at block FirstBlock of the record. Blocks whose last
// word is not the update sequence number stay as read.
void RepairWindow(IndexScan *Scan, UINT32 FirstBlock) {
  for (UINT32 Block = FirstBlock;
       Block + 1 < Scan->SequenceCount && Block - FirstBlock < INDEX_WINDOW_BLOCKS;
       ++Block) {
    UINT8 *Word = Scan->Window + (Block - FirstBlock) * NTFS_BLOCK_SIZE +
                  NTFS_BLOCK_SIZE - 2;
    if (LoadLe16(Word) == Scan->SequenceNumber) {
      StoreLe16(Word, Scan->Saved[Block]);
    }
  }
}

// Moves the window forward by Blocks blocks, reads it, takes the record's
// update sequence array again and repairs the window. False when the read
// fails.
bool MoveWindow(IndexScan *Scan, UINT32 Blocks) {
  Scan->WindowStart += Blocks;
  if (!ReadWindow(Scan)) return false;
  UINT32 InRecord =
      static_cast<UINT32>(Scan->WindowStart % Scan->BlocksPerRecord);
  ReadIndexRecordHeader(InRecord, Scan->Context, Scan->DeviceIndex,
                        Scan->RunStart + Scan->WindowStart, Scan->Saved);
  RepairWindow(Scan, InRecord);
  return true;
}

// True for the root directory's "$MFT" entry, which carries record number 0
// yet is no end entry. Bytes outside the window do not match.
bool IsMftEntry(const UINT8 *Window, UINT32 Position) {
  static const UINT8 Letters[4] = {0x24, 0x4D, 0x46, 0x54};
  for (UINT32 I = 0; I < 4; ++I) {
    UINT8 Byte = 0;
    if (!ReadU8(Window, INDEX_WINDOW_SIZE, Position + INDEX_ENTRY_NAME + 2 * I,
                &Byte) ||
        Byte != Letters[I]) {
      return false;
    }
  }
  return true;
}

// True when a field the entry test reads lies at or past the window's end:
// the entry length, the name length, the first and the last name byte.
bool EntryCrossesWindow(const UINT8 *Window, UINT32 Position) {
  if (Position + INDEX_ENTRY_LENGTH + 1 >= INDEX_WINDOW_SIZE ||
      Position + INDEX_ENTRY_NAME >= INDEX_WINDOW_SIZE) {
    return true;
  }
  UINT32 NameLength = Window[Position + INDEX_ENTRY_NAME_LENGTH];
  return Position + INDEX_ENTRY_NAME - 1 + 2 * NameLength >= INDEX_WINDOW_SIZE;
}

// Scans the record whose first block is the window start. Sets *Result on
// SCAN_FOUND; SCAN_NEXT_RECORD moves the window start to the next record;
// SCAN_STOP ends the search with no result (a failed read, no "INDX", a
// record size or update sequence count the window cannot serve, an entry
// that runs past the record or has no length). May receive untrusted input.
ScanOutcome ScanRecord(IndexScan *Scan, const UINT8 *Key,
                       const UINT16 *KeyLength, UINT64 *Result) {
  if (!ReadWindow(Scan)) return SCAN_STOP;
  UINT8 *Window = Scan->Window;
  if (LoadLe32(Window) != INDEX_RECORD_SIGNATURE) return SCAN_STOP;
  UINT64 Allocated = LoadLe32(Window + INDEX_RECORD_ALLOCATED_SIZE);
  UINT64 BlocksPerRecord = (Allocated + INDEX_RECORD_NODE_BASE) / NTFS_BLOCK_SIZE;
  Scan->SequenceNumber = LoadLe16(Window + INDEX_RECORD_UPDATE_SEQUENCE);
  Scan->SequenceCount = LoadLe16(Window + INDEX_RECORD_UPDATE_SEQUENCE_COUNT);
  if (BlocksPerRecord == 0 || BlocksPerRecord > INDEX_SAVED_WORDS ||
      Scan->SequenceCount > INDEX_SAVED_WORDS + 1) {
    return SCAN_STOP;
  }
  Scan->BlocksPerRecord = static_cast<UINT32>(BlocksPerRecord);
  for (UINT32 J = 0; J + 1 < Scan->SequenceCount; ++J) {
    Scan->Saved[J] = LoadLe16(Window + INDEX_RECORD_UPDATE_ARRAY + 2 * J);
  }
  RepairWindow(Scan, 0);
  Scan->RecordStart = Scan->WindowStart;
  UINT32 RecordBytes = Scan->BlocksPerRecord * NTFS_BLOCK_SIZE;
  UINT64 First = static_cast<UINT64>(INDEX_RECORD_NODE_BASE) +
                 LoadLe32(Window + INDEX_RECORD_FIRST_ENTRY);
  if (First >= RecordBytes) return SCAN_STOP;
  UINT32 Position = static_cast<UINT32>(First);
  // Entries advance by non-zero lengths and may not pass the record's end.
  for (;;) {
    UINT64 InRecord =
        (Scan->WindowStart - Scan->RecordStart) * NTFS_BLOCK_SIZE + Position;
    if (InRecord + INDEX_ENTRY_HEADER_SIZE > RecordBytes) return SCAN_STOP;
    while (Position >= INDEX_WINDOW_SIZE) {
      if (!MoveWindow(Scan, INDEX_WINDOW_BLOCKS)) return SCAN_STOP;
      Position -= INDEX_WINDOW_SIZE;
    }
    if (EntryCrossesWindow(Window, Position)) {
      if (!MoveWindow(Scan, INDEX_WINDOW_BLOCKS / 2)) return SCAN_STOP;
      Position -= INDEX_WINDOW_SIZE / 2;
    }
    // Every field up to the last name byte now lies inside the window.
    const UINT8 *Entry = Window + Position;
    UINT16 EntryLength = LoadLe16(Entry + INDEX_ENTRY_LENGTH);
    UINT64 RecordNumber = IndexEntryRecordNumber(Entry);
    if (RecordNumber == 0 && !IsMftEntry(Window, Position)) {
      UINT64 Next = (Scan->WindowStart / Scan->BlocksPerRecord + 1) *
                    Scan->BlocksPerRecord;
      if (Next <= Scan->WindowStart) return SCAN_STOP;
      Scan->WindowStart = Next;
      return SCAN_NEXT_RECORD;
    }
    UINT8 NameLength = Entry[INDEX_ENTRY_NAME_LENGTH];
    if (*KeyLength == 2u * NameLength &&
        CompareIndexName(KeyLength, Key, Entry + INDEX_ENTRY_NAME) == 0) {
      *Result = RecordNumber;
      return SCAN_FOUND;
    }
    if (EntryLength == 0) return SCAN_STOP;
    Position += EntryLength;
  }
}

}  // namespace

// Scans every index record of runs 0 to RunCount-1 (in table order, records
// in block order) and returns the record number of the first entry whose
// name equals the key, or 0 when none does or the scan meets a damaged or
// unreadable record. May receive untrusted input.
UINT64 IndexAllocationSearch(const UINT64 *RunLengths, const UINT64 *RunStarts,
                             RecoveryContext *Context, UINT32 DeviceIndex,
                             const UINT8 *Key, const UINT16 *KeyLength,
                             const UINT32 *RunCount) {
  if (*RunCount == 0 || RunLengths[0] == 0 || RunStarts[0] == 0) return 0;
  IndexScan Scan;
  Scan.Context = Context;
  Scan.DeviceIndex = DeviceIndex;
  for (UINT32 Run = 0; Run < *RunCount; ++Run) {
    if (RunLengths[Run] == 0) continue;
    Scan.RunStart = RunStarts[Run];
    Scan.WindowStart = 0;
    // Every record moves the window start forward.
    while (Scan.WindowStart < RunLengths[Run]) {
      UINT64 Result = 0;
      ScanOutcome Outcome = ScanRecord(&Scan, Key, KeyLength, &Result);
      if (Outcome == SCAN_FOUND) return Result;
      if (Outcome == SCAN_STOP) return 0;
    }
  }
  return 0;
}

// Reads the record that the window at WindowBlock lies in (RecordBlock
// blocks from its first block) and, when it begins with "INDX" and its
// update sequence count fits, copies its update sequence array into
// SavedArray (INDEX_SAVED_WORDS entries). Otherwise, and when the read
// fails, SavedArray stays as it was. May receive untrusted input.
VOID ReadIndexRecordHeader(UINT32 RecordBlock, RecoveryContext *Context,
                           UINT32 DeviceIndex, UINT64 WindowBlock,
                           UINT16 *SavedArray) {
  UINT8 Buffer[INDEX_WINDOW_SIZE];
  if (EFI_ERROR(DiskRead(Context, DeviceIndex, WindowBlock - RecordBlock,
                         INDEX_WINDOW_SIZE, Buffer))) {
    return;
  }
  if (LoadLe32(Buffer) != INDEX_RECORD_SIGNATURE) return;
  UINT16 Count = LoadLe16(Buffer + INDEX_RECORD_UPDATE_SEQUENCE_COUNT);
  if (Count > INDEX_SAVED_WORDS + 1) return;
  for (UINT32 J = 0; J + 1 < Count; ++J) {
    SavedArray[J] = LoadLe16(Buffer + INDEX_RECORD_UPDATE_ARRAY + 2 * J);
  }
}
