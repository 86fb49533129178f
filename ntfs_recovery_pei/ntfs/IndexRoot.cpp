// The name comparison of the directory searches and the walk of a
// directory's root node, held in its resident $INDEX_ROOT value.
#include "ntfs_recovery_pei/OnDisk.h"
#include "ntfs_recovery_pei/ntfs/Ntfs.h"

// The module's one-byte fold: a to z become A to Z, every other byte stays.
static UINT8 FoldByte(UINT8 Byte) {
  return (Byte >= 0x61 && Byte <= 0x7A) ? static_cast<UINT8>(Byte - 0x20) : Byte;
}

// 0 when the KeyLength bytes of Key equal the same number of bytes of Name
// under the one-byte fold, 2 when they differ or the key is empty. The
// caller has checked that Name holds KeyLength bytes.
UINT8 CompareIndexName(const UINT16 *KeyLength, const UINT8 *Key,
                       const UINT8 *Name) {
  UINT16 Length = *KeyLength;
  if (Length == 0) return 2;
  for (UINT32 I = 0; I < Length; ++I) {
    if (FoldByte(Key[I]) != FoldByte(Name[I])) return 2;
  }
  return 0;
}

// The 48-bit record number of the index entry's file reference; the
// sequence number is dropped. The caller has checked that the entry holds
// its first six bytes.
UINT64 IndexEntryRecordNumber(const UINT8 *Entry) {
  return static_cast<UINT64>(LoadLe32(Entry + INDEX_ENTRY_RECORD_LOW)) |
         (static_cast<UINT64>(LoadLe16(Entry + INDEX_ENTRY_RECORD_HIGH)) << 32);
}

// Walks the entries of the root node in stored order from offset 0x20 of the
// $INDEX_ROOT value (ValueLength bytes, up to the end of its attribute) and
// returns the record number of the first entry whose name equals the key,
// or 0: at the end entry (record number 0), once the lengths of the entries
// passed exceed the node's allocated size, at a zero entry length, or at an
// entry that does not fit the value. May receive untrusted input.
UINT64 IndexRootSearch(const UINT8 *Value, UINT32 ValueLength,
                       const UINT8 *Key, const UINT16 *KeyLength) {
  UINT32 Bound = 0;
  if (!ReadU32(Value, ValueLength, INDEX_ROOT_ALLOCATED_SIZE, &Bound)) return 0;
  UINT64 Total = 0;
  // Each entry adds a non-zero length to Total, which may not pass Bound.
  for (;;) {
    UINT64 Position = INDEX_ROOT_FIRST_ENTRY + Total;
    if (Position > ValueLength ||
        !FitsIn(ValueLength, static_cast<UINT32>(Position),
                INDEX_ENTRY_HEADER_SIZE)) {
      return 0;
    }
    UINT32 EntryOffset = static_cast<UINT32>(Position);
    const UINT8 *Entry = Value + EntryOffset;
    UINT64 RecordNumber = IndexEntryRecordNumber(Entry);
    if (RecordNumber == 0) return 0;
    UINT16 EntryLength = LoadLe16(Entry + INDEX_ENTRY_LENGTH);
    UINT8 NameLength = 0;
    if (!ReadU8(Value, ValueLength, EntryOffset + INDEX_ENTRY_NAME_LENGTH,
                &NameLength)) {
      return 0;
    }
    if (*KeyLength == 2u * NameLength) {
      if (!FitsIn(ValueLength, EntryOffset + INDEX_ENTRY_NAME, *KeyLength)) {
        return 0;
      }
      if (CompareIndexName(KeyLength, Key, Entry + INDEX_ENTRY_NAME) == 0) {
        return RecordNumber;
      }
    }
    if (EntryLength == 0) return 0;
    Total += EntryLength;
    if (Total > Bound) return 0;
  }
}
