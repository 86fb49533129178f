// Shared pieces of the module's 32-bit tests: byte builders for MBRs, GPTs,
// NTFS boot sectors and ISO 9660 / El Torito structures, and a bare
// context whose rows a test fills by hand.
#ifndef TESTS_PEI_PEI_TEST_SUPPORT_H_
#define TESTS_PEI_PEI_TEST_SUPPORT_H_

#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "host/pei/SimulatedPeiPlatform.h"
#include "ntfs_recovery_pei/NtfsRecoveryPei.h"

namespace PeiTest {

using Bytes = std::vector<uint8_t>;
using HostPlatform::BlockDevice;
using HostPlatform::BlockDevicePtr;
using HostPei::SimulatedPeiPlatform;

inline void Put8(Bytes &B, uint64_t Off, uint8_t V) { B.at(Off) = V; }
inline void Put16(Bytes &B, uint64_t Off, uint16_t V) {
  for (int I = 0; I < 2; ++I) B.at(Off + I) = static_cast<uint8_t>(V >> (8 * I));
}
inline void Put32(Bytes &B, uint64_t Off, uint32_t V) {
  for (int I = 0; I < 4; ++I) B.at(Off + I) = static_cast<uint8_t>(V >> (8 * I));
}
inline void Put64(Bytes &B, uint64_t Off, uint64_t V) {
  for (int I = 0; I < 8; ++I) B.at(Off + I) = static_cast<uint8_t>(V >> (8 * I));
}
inline void PutText(Bytes &B, uint64_t Off, const char *Text) {
  for (size_t I = 0; Text[I] != 0; ++I) B.at(Off + I) = static_cast<uint8_t>(Text[I]);
}

// ---- Legacy MBR -----------------------------------------------------------

struct MbrRecordSpec {
  uint8_t OsType;
  uint32_t Start;
  uint32_t Size;
};

// Writes up to four partition records (record i at 0x1BE + 16 i: OS type at
// +4, starting LBA at +8, size at +12) and, unless told not to, the 0xAA55
// signature at 0x1FE into the first 512 bytes at Offset.
inline void PutMbr(Bytes &B, const std::vector<MbrRecordSpec> &Records,
                   bool Signature = true, uint64_t Offset = 0) {
  for (size_t I = 0; I < Records.size() && I < 4; ++I) {
    const uint64_t Record = Offset + 0x1BE + 16 * I;
    Put8(B, Record + 4, Records[I].OsType);
    Put32(B, Record + 8, Records[I].Start);
    Put32(B, Record + 12, Records[I].Size);
  }
  if (Signature) Put16(B, Offset + 0x1FE, 0xAA55);
}

inline Bytes MbrBlock(const std::vector<MbrRecordSpec> &Records,
                      bool Signature = true) {
  Bytes B(512, 0);
  PutMbr(B, Records, Signature);
  return B;
}

// ---- GPT ------------------------------------------------------------------

// Basic data partition type EBD0A0A2-B9E5-4433-87C0-68B6B72699C7 as stored.
inline const uint8_t kBasicDataType[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9,
                                           0x33, 0x44, 0x87, 0xC0, 0x68, 0xB6,
                                           0xB7, 0x26, 0x99, 0xC7};
// EFI system partition type C12A7328-F81F-11D2-BA4B-00A0C93EC93B as stored.
inline const uint8_t kEspType[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8,
                                     0xD2, 0x11, 0xBA, 0x4B, 0x00, 0xA0,
                                     0xC9, 0x3E, 0xC9, 0x3B};

struct GptEntrySpec {
  const uint8_t *Type;  // 16 bytes, or null for an unused entry
  uint64_t Start;
};

// A protective MBR (record 0 of type 0xEE), the "EFI PART" header at block
// 1 with the entry array LBA at 0x48, and 128-byte entries (type GUID at 0,
// starting LBA at 0x20) at EntryLba, all in blocks of BlockSize bytes.
inline void PutGpt(Bytes &B, uint32_t BlockSize, uint64_t EntryLba,
                   const std::vector<GptEntrySpec> &Entries) {
  const uint32_t Blocks = static_cast<uint32_t>(B.size() / BlockSize);
  PutMbr(B, {{0xEE, 1, Blocks - 1}});
  PutText(B, BlockSize, "EFI PART");
  Put64(B, BlockSize + 0x48, EntryLba);
  for (size_t I = 0; I < Entries.size(); ++I) {
    const uint64_t Entry = EntryLba * BlockSize + 128 * I;
    if (Entries[I].Type != nullptr) memcpy(&B.at(Entry), Entries[I].Type, 16);
    Put64(B, Entry + 0x20, Entries[I].Start);
  }
}

// ---- NTFS boot sector -----------------------------------------------------

struct BootSectorSpec {
  const char *Oem = "NTFS    ";
  uint16_t BytesPerSector = 512;
  uint8_t SectorsPerCluster = 8;
  uint8_t Fats = 0;
  uint16_t RootEntries = 0;
  uint8_t Media = 0xF8;
  uint16_t SectorsPerFat = 0;
  bool Signature = true;
};

// The fields the probe tests: OEM identifier at 3, bytes per sector at
// 0x0B, sectors per cluster at 0x0D, FATs at 0x10, root entries at 0x11,
// media descriptor at 0x15, sectors per FAT at 0x16, 0xAA55 at 0x1FE.
inline void PutBootSector(Bytes &B, uint64_t Offset, const BootSectorSpec &S = {}) {
  PutText(B, Offset + 3, S.Oem);
  Put16(B, Offset + 0x0B, S.BytesPerSector);
  Put8(B, Offset + 0x0D, S.SectorsPerCluster);
  Put8(B, Offset + 0x10, S.Fats);
  Put16(B, Offset + 0x11, S.RootEntries);
  Put8(B, Offset + 0x15, S.Media);
  Put16(B, Offset + 0x16, S.SectorsPerFat);
  if (S.Signature) Put16(B, Offset + 0x1FE, 0xAA55);
}

// ---- ISO 9660 and El Torito (2048-byte sectors) ---------------------------

constexpr uint32_t kCdSector = 2048;

// A volume descriptor: type at 0, "CD001" at 1, version 1 at 6; a primary
// one carries its volume space size at 0x50.
inline void PutVolumeDescriptor(Bytes &B, uint32_t Sector, uint8_t Type,
                                uint32_t VolumeSpaceSize = 0) {
  const uint64_t Off = static_cast<uint64_t>(Sector) * kCdSector;
  Put8(B, Off, Type);
  PutText(B, Off + 1, "CD001");
  Put8(B, Off + 6, 1);
  if (Type == 1) Put32(B, Off + 0x50, VolumeSpaceSize);
}

// A boot record: type 0, "EL TORITO SPECIFICATION" at 7, catalog at 0x47.
inline void PutBootRecord(Bytes &B, uint32_t Sector, uint32_t CatalogSector) {
  PutVolumeDescriptor(B, Sector, 0);
  const uint64_t Off = static_cast<uint64_t>(Sector) * kCdSector;
  PutText(B, Off + 7, "EL TORITO SPECIFICATION");
  Put32(B, Off + 0x47, CatalogSector);
}

struct CatalogEntrySpec {
  uint8_t Indicator = 0x88;
  uint8_t MediaType = 0;
  uint16_t SectorCount = 4;
  uint32_t LoadRba = 30;
};

struct ValidationSpec {
  uint8_t HeaderId = 1;
  uint16_t Key = 0xAA55;
  bool BreakChecksum = false;
};

// A boot catalog: the validation entry (header ID at 0, checksum word at
// 0x1C making the sixteen words sum to 0, key at 0x1E), then 32-byte entries
// (indicator at 0, media type at 1, sector count at 6, load RBA at 8).
inline void PutCatalog(Bytes &B, uint32_t Sector,
                       const std::vector<CatalogEntrySpec> &Entries,
                       const ValidationSpec &Validation = {}) {
  const uint64_t Off = static_cast<uint64_t>(Sector) * kCdSector;
  Put8(B, Off, Validation.HeaderId);
  Put16(B, Off + 0x1E, Validation.Key);
  uint16_t Sum = 0;
  for (int W = 0; W < 16; ++W) {
    Sum = static_cast<uint16_t>(Sum + (B[Off + 2 * W] | (B[Off + 2 * W + 1] << 8)));
  }
  uint16_t Check = static_cast<uint16_t>(0 - Sum);
  if (Validation.BreakChecksum) Check = static_cast<uint16_t>(Check + 1);
  Put16(B, Off + 0x1C, Check);
  for (size_t I = 0; I < Entries.size(); ++I) {
    const uint64_t E = Off + 32 * (I + 1);
    Put8(B, E, Entries[I].Indicator);
    Put8(B, E + 1, Entries[I].MediaType);
    Put16(B, E + 6, Entries[I].SectorCount);
    Put32(B, E + 8, Entries[I].LoadRba);
  }
}

// ---- A bare context -------------------------------------------------------

// A zeroed context over a simulated platform, rows filled by the test.
struct BareContext {
  SimulatedPeiPlatform Platform;
  std::unique_ptr<RecoveryContext> Context{new RecoveryContext()};

  BareContext() { Context->PeiServices = Platform.Services(); }

  // Adds a PPI instance over Devices and one physical row per device, in
  // order, as the discovery pass would record them.
  void AddPhysicalRows(std::vector<BlockDevicePtr> Devices) {
    const size_t Instance = Platform.AddBlockIoPpi(Devices);
    for (size_t I = 0; I < Devices.size(); ++I) {
      BlockDeviceEntry &Row = Context->BlockDevices[Context->BlockDeviceCount++];
      Row.BlockSize = Devices[I]->Media().BlockSize;
      Row.LastBlock = Devices[I]->Media().LastBlock;
      Row.DeviceType = Devices[I]->Media().DeviceType;
      Row.BlockIo = Platform.BlockIoPpi(Instance);
      Row.PpiDeviceIndex = static_cast<UINT8>(I);
    }
  }

  // Adds one device and its row; returns the row index.
  uint32_t AddDisk(Bytes Image, uint32_t BlockSize = 512) {
    AddPhysicalRows({BlockDevice::FromBytes(std::move(Image), BlockSize)});
    return Context->BlockDeviceCount - 1;
  }

  BlockDeviceEntry &Row(uint32_t Index) { return Context->BlockDevices[Index]; }
};

// The path of a medium made by the build, under <build>/media/partition.
inline std::string MediaPath(const std::string &Name) {
  const char *Binary = getenv("PROJECT_BINARY_DIR");
  return std::string(Binary ? Binary : ".") + "/media/partition/" + Name;
}

}  // namespace PeiTest

#endif  // TESTS_PEI_PEI_TEST_SUPPORT_H_
