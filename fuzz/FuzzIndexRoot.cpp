// Fuzz target: the search of an $INDEX_ROOT value. Input: u8 key length in
// bytes (at most a component's 126), the key bytes, then the value, which
// is held in a buffer of exactly its size.
#include <string.h>

#include "fuzz/FuzzInput.h"
#include "ntfs_recovery_pei/ntfs/Ntfs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  Fuzz::ByteReader Reader(Data, Size);
  UINT16 KeyLength = Reader.U8();
  if (KeyLength > MAX_COMPONENT_BYTES) KeyLength = MAX_COMPONENT_BYTES;
  // The walk's component buffer: the name, its marker, zeros.
  UINT8 *Key = new UINT8[COMPONENT_BUFFER_SIZE]();
  const UINT8 *KeyBytes = nullptr;
  KeyLength = static_cast<UINT16>(Reader.Take(KeyLength, &KeyBytes));
  memcpy(Key, KeyBytes, KeyLength);
  Key[KeyLength] = PATH_KEY_END;

  UINT32 ValueLength = static_cast<UINT32>(Reader.Remaining());
  UINT8 *Value = new UINT8[ValueLength + (ValueLength == 0 ? 1 : 0)];
  memcpy(Value, Reader.Rest(), ValueLength);
  IndexRootSearch(Value, ValueLength, Key, &KeyLength);
  delete[] Value;
  delete[] Key;
  return 0;
}
