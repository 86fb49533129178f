// Bounds-checked access to untrusted bytes (sectors, records, index
// records). Every read of an on-disk field goes through these helpers: a
// field is read only when it lies wholly inside the buffer that holds it.
#ifndef NTFS_RECOVERY_PEI_ON_DISK_H_
#define NTFS_RECOVERY_PEI_ON_DISK_H_

#include "efi/Base.h"

// True when Size bytes at Offset lie inside a buffer of Length bytes. The
// form avoids the overflow of Offset + Size.
inline bool FitsIn(UINT32 Length, UINT32 Offset, UINT32 Size) {
  return Size <= Length && Offset <= Length - Size;
}

// Little-endian loads; the caller has checked the range with FitsIn.
inline UINT16 LoadLe16(const UINT8 *P) {
  return static_cast<UINT16>(P[0] | (P[1] << 8));
}
inline UINT32 LoadLe32(const UINT8 *P) {
  return static_cast<UINT32>(P[0]) | (static_cast<UINT32>(P[1]) << 8) |
         (static_cast<UINT32>(P[2]) << 16) | (static_cast<UINT32>(P[3]) << 24);
}
inline UINT64 LoadLe64(const UINT8 *P) {
  return static_cast<UINT64>(LoadLe32(P)) |
         (static_cast<UINT64>(LoadLe32(P + 4)) << 32);
}
inline void StoreLe16(UINT8 *P, UINT16 V) {
  P[0] = static_cast<UINT8>(V);
  P[1] = static_cast<UINT8>(V >> 8);
}

// Checked reads: false (and Out untouched) when the field is not wholly
// inside the buffer.
inline bool ReadU8(const UINT8 *Buf, UINT32 Len, UINT32 Off, UINT8 *Out) {
  if (!FitsIn(Len, Off, 1)) return false;
  *Out = Buf[Off];
  return true;
}
inline bool ReadU16(const UINT8 *Buf, UINT32 Len, UINT32 Off, UINT16 *Out) {
  if (!FitsIn(Len, Off, 2)) return false;
  *Out = LoadLe16(Buf + Off);
  return true;
}
inline bool ReadU32(const UINT8 *Buf, UINT32 Len, UINT32 Off, UINT32 *Out) {
  if (!FitsIn(Len, Off, 4)) return false;
  *Out = LoadLe32(Buf + Off);
  return true;
}
inline bool ReadU64(const UINT8 *Buf, UINT32 Len, UINT32 Off, UINT64 *Out) {
  if (!FitsIn(Len, Off, 8)) return false;
  *Out = LoadLe64(Buf + Off);
  return true;
}

#endif  // NTFS_RECOVERY_PEI_ON_DISK_H_
