// Fuzz target: one MFT record. The input (padded with zeros or cut to 1024
// bytes) is repaired and searched for the attributes the reader asks for;
// each one found has its run list decoded as the reader bounds it, and an
// $INDEX_ROOT value is searched for a name.
#include <string.h>

#include "fuzz/FuzzInput.h"
#include "ntfs_recovery_pei/ntfs/Ntfs.h"

namespace {

// "RECOVERY.CAP" in the key form: low byte, zero byte.
const UINT8 kKey[] = {'R', 0, 'E', 0, 'C', 0, 'O', 0, 'V', 0, 'E', 0,
                      'R', 0, 'Y', 0, '.', 0, 'C', 0, 'A', 0, 'P', 0};

void SearchAttribute(const UINT8 *Record, UINT32 Type) {
  UINT16 Offset = FindAttribute(Record, Type);
  if (Offset == 0) return;
  UINT32 Length = AttributeLength(Record, Offset);
  if (Length < ATTRIBUTE_MIN_LENGTH || Offset + Length > MFT_RECORD_SIZE) {
    Fuzz::Fail("FindAttribute returned an attribute outside the record");
  }
  UINT32 End = Offset + Length;
  UINT32 Start = AttributeRunListOffset(Record, Offset);
  if (Start >= End) return;
  if (Type == ATTRIBUTE_TYPE_INDEX_ROOT) {
    UINT16 KeyLength = sizeof(kKey);
    IndexRootSearch(Record + Start, End - Start, kKey, &KeyLength);
    return;
  }
  UINT64 *Starts = new UINT64[FILE_RUN_TABLE_SIZE];
  UINT64 *Lengths = new UINT64[FILE_RUN_TABLE_SIZE];
  UINT32 Count = 0;
  DecodeDataRuns(Starts, Lengths, FILE_RUN_CAPACITY, Record + Start, End - Start,
                 0, &Count, 8);
  if (Count > FILE_RUN_CAPACITY) Fuzz::Fail("more runs than the table holds");
  delete[] Starts;
  delete[] Lengths;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  UINT8 *Record = new UINT8[MFT_RECORD_SIZE]();
  memcpy(Record, Data, Size < MFT_RECORD_SIZE ? Size : MFT_RECORD_SIZE);
  FixupFileRecord(Record);
  static const UINT32 Types[] = {0x10, 0x30, ATTRIBUTE_TYPE_DATA,
                                 ATTRIBUTE_TYPE_INDEX_ROOT,
                                 ATTRIBUTE_TYPE_INDEX_ALLOCATION, 0xB0,
                                 ATTRIBUTE_TYPE_END};
  for (UINT32 Type : Types) SearchAttribute(Record, Type);
  delete[] Record;
  return 0;
}
