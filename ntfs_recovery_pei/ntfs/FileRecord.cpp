// MFT "FILE" records: the update sequence repair and the search for an
// attribute by type. Records are always 1024 bytes here.
#include "ntfs_recovery_pei/OnDisk.h"
#include "ntfs_recovery_pei/ntfs/Ntfs.h"

// Repairs the last word of each of the record's two sectors from the update
// sequence array at 0x30. A sector whose last word differs from the update
// sequence number is left as read. Record is MFT_RECORD_SIZE bytes; may
// receive untrusted input.
VOID FixupFileRecord(UINT8 *Record) {
  UINT16 Count = 0;
  UINT16 SequenceNumber = 0;
  ReadU16(Record, MFT_RECORD_SIZE, FILE_RECORD_UPDATE_SEQUENCE_COUNT, &Count);
  ReadU16(Record, MFT_RECORD_SIZE, FILE_RECORD_UPDATE_SEQUENCE,
          &SequenceNumber);
  // Entries beyond the second belong to sectors this record does not have.
  for (UINT32 Sector = 0; Sector + 1 < Count && Sector < 2; ++Sector) {
    UINT32 SectorEnd = NTFS_BLOCK_SIZE * Sector + NTFS_BLOCK_SIZE - 2;
    UINT16 Word = 0;
    UINT16 Saved = 0;
    if (!ReadU16(Record, MFT_RECORD_SIZE, SectorEnd, &Word) ||
        !ReadU16(Record, MFT_RECORD_SIZE,
                 FILE_RECORD_UPDATE_SEQUENCE + 2 + 2 * Sector, &Saved)) {
      return;
    }
    if (Word == SequenceNumber) StoreLe16(Record + SectorEnd, Saved);
  }
}

// Offset of the first attribute of the given type in the record, or 0 when
// the record lacks "FILE", holds no such attribute below its bytes-in-use
// value, or is damaged on the way (an attribute that does not fit the
// record, a zero length, the end marker). A returned attribute lies wholly
// inside the record and is at least a resident header long. Record is
// MFT_RECORD_SIZE bytes; may receive untrusted input.
UINT16 FindAttribute(const UINT8 *Record, UINT32 Type) {
  UINT32 Signature = 0;
  if (!ReadU32(Record, MFT_RECORD_SIZE, 0, &Signature) ||
      Signature != FILE_RECORD_SIGNATURE) {
    return 0;
  }
  UINT16 First = 0;
  UINT16 BytesInUse = 0;
  ReadU16(Record, MFT_RECORD_SIZE, FILE_RECORD_FIRST_ATTRIBUTE, &First);
  ReadU16(Record, MFT_RECORD_SIZE, FILE_RECORD_BYTES_IN_USE, &BytesInUse);
  UINT32 Limit = BytesInUse < MFT_RECORD_SIZE ? BytesInUse : MFT_RECORD_SIZE;
  UINT32 Offset = First;
  // Every pass moves the offset forward by a non-zero length, so the walk
  // ends at the limit.
  while (Offset < Limit) {
    UINT32 AttributeType = 0;
    UINT32 Length = 0;
    if (!ReadU32(Record, MFT_RECORD_SIZE, Offset + ATTRIBUTE_TYPE,
                 &AttributeType) ||
        AttributeType == ATTRIBUTE_TYPE_END ||
        !ReadU32(Record, MFT_RECORD_SIZE, Offset + ATTRIBUTE_LENGTH, &Length) ||
        Length == 0) {
      return 0;
    }
    if (AttributeType == Type) {
      if (Length < ATTRIBUTE_MIN_LENGTH ||
          !FitsIn(MFT_RECORD_SIZE, Offset, Length)) {
        return 0;
      }
      return static_cast<UINT16>(Offset);
    }
    if (Length > Limit - Offset) return 0;
    Offset += Length;
  }
  return 0;
}

// Length of the attribute at Offset, which FindAttribute returned: it lies
// inside the record.
UINT32 AttributeLength(const UINT8 *Record, UINT16 Offset) {
  UINT32 Length = 0;
  ReadU32(Record, MFT_RECORD_SIZE, Offset + ATTRIBUTE_LENGTH, &Length);
  return Length;
}

// Record offset of the attribute's run list (non-resident flag 1) or
// resident value (any other flag), computed from the name length as the
// header's own offset fields are not trusted. The result may lie past the
// attribute's end; callers bound it by the attribute. May receive untrusted
// input.
UINT32 AttributeRunListOffset(const UINT8 *Record, UINT16 Offset) {
  UINT8 NonResident = 0;
  UINT8 NameLength = 0;
  ReadU8(Record, MFT_RECORD_SIZE, Offset + ATTRIBUTE_NON_RESIDENT,
         &NonResident);
  ReadU8(Record, MFT_RECORD_SIZE, Offset + ATTRIBUTE_NAME_LENGTH, &NameLength);
  UINT32 Start = NonResident == 1 ? ATTRIBUTE_RUN_LIST : ATTRIBUTE_RESIDENT_VALUE;
  return static_cast<UINT32>(Offset) + Start + 2u * NameLength;
}
