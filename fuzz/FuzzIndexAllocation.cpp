// Fuzz target: the scan of a directory's index records. Input:
//   u8  key length in bytes (at most 126), the key bytes
//   u8  run count (at most the walk's 32), then per run u64 start block
//       and u64 length in blocks
//   a device image (fuzz/FuzzInput.h) that holds the index records
// The search reads the device through row 0 of a bare context.
#include <string.h>

#include "fuzz/FuzzInput.h"
#include "fuzz/FuzzPlatform.h"
#include "ntfs_recovery_pei/ntfs/Ntfs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  Fuzz::ByteReader Reader(Data, Size);
  UINT16 KeyLength = Reader.U8();
  if (KeyLength > MAX_COMPONENT_BYTES) KeyLength = MAX_COMPONENT_BYTES;
  UINT8 Key[COMPONENT_BUFFER_SIZE] = {};
  const UINT8 *KeyBytes = nullptr;
  KeyLength = static_cast<UINT16>(Reader.Take(KeyLength, &KeyBytes));
  memcpy(Key, KeyBytes, KeyLength);
  Key[KeyLength] = PATH_KEY_END;

  UINT32 RunCount = Reader.U8();
  if (RunCount > WALK_RUN_CAPACITY) RunCount = WALK_RUN_CAPACITY;
  UINT64 Starts[WALK_RUN_CAPACITY] = {};
  UINT64 Lengths[WALK_RUN_CAPACITY] = {};
  for (UINT32 K = 0; K < RunCount; ++K) {
    Starts[K] = Reader.U64();
    Lengths[K] = Reader.U64();
  }

  Fuzz::DeviceImage Image = Fuzz::ParseDeviceImage(Reader);
  HostPei::SimulatedPeiPlatform Platform;
  Fuzz::FuzzBlockIo Io(Image);
  std::unique_ptr<RecoveryContext> Context = Fuzz::MakeBareContext(Platform, Io);
  IndexAllocationSearch(Lengths, Starts, Context.get(), 0, Key, &KeyLength,
                        &RunCount);
  return 0;
}
