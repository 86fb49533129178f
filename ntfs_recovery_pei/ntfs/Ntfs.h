// The NTFS reader: MFT records and attributes, data runs, the directory
// index searches, the path walk and the lookup of the recovery file.
//
// Every NTFS address here counts 512-byte blocks of block device 0. All
// buffers and run tables are fixed-size locals of the operation that uses
// them; nothing is allocated and nothing is cached between calls.
#ifndef NTFS_RECOVERY_PEI_NTFS_NTFS_H_
#define NTFS_RECOVERY_PEI_NTFS_NTFS_H_

#include "ntfs_recovery_pei/NtfsRecoveryPei.h"

// An MFT record is always read and repaired as 1024 bytes.
#define MFT_RECORD_SIZE 1024u
#define NTFS_BLOCK_SIZE 512u

// Signatures, as the little-endian value of their four bytes.
#define FILE_RECORD_SIGNATURE 0x454C4946u   // "FILE"
#define INDEX_RECORD_SIGNATURE 0x58444E49u  // "INDX"
#define NTFS_OEM_SIGNATURE 0x5346544Eu      // "NTFS"

// Attribute types the reader asks for.
#define ATTRIBUTE_TYPE_DATA 0x80u
#define ATTRIBUTE_TYPE_INDEX_ROOT 0x90u
#define ATTRIBUTE_TYPE_INDEX_ALLOCATION 0xA0u
#define ATTRIBUTE_TYPE_END 0xFFFFFFFFu

// "FILE" record header fields.
#define FILE_RECORD_UPDATE_SEQUENCE_COUNT 0x06u
#define FILE_RECORD_FIRST_ATTRIBUTE 0x14u
#define FILE_RECORD_BYTES_IN_USE 0x18u
#define FILE_RECORD_BYTES_ALLOCATED 0x1Cu
#define FILE_RECORD_UPDATE_SEQUENCE 0x30u

// Attribute header fields.
#define ATTRIBUTE_TYPE 0x00u
#define ATTRIBUTE_LENGTH 0x04u
#define ATTRIBUTE_NON_RESIDENT 0x08u
#define ATTRIBUTE_NAME_LENGTH 0x09u
#define ATTRIBUTE_FLAGS 0x0Cu
#define ATTRIBUTE_LOWEST_VCN 0x10u
#define ATTRIBUTE_ALLOCATED_SIZE 0x28u
#define ATTRIBUTE_RESIDENT_VALUE 0x18u  // plus twice the name length
#define ATTRIBUTE_RUN_LIST 0x40u        // plus twice the name length
// The smallest attribute the reader accepts: a resident header.
#define ATTRIBUTE_MIN_LENGTH 0x18u
// A non-resident header up to its allocated, data and initialized sizes.
#define ATTRIBUTE_NON_RESIDENT_HEADER 0x40u

// Attribute flags whose data is not a plain list of the file's clusters.
#define ATTRIBUTE_FLAG_COMPRESSION_MASK 0x00FFu
#define ATTRIBUTE_FLAG_ENCRYPTED 0x4000u
#define ATTRIBUTE_FLAG_SPARSE 0x8000u

// Index entries (in an $INDEX_ROOT value and in "INDX" records).
#define INDEX_ENTRY_RECORD_LOW 0x00u
#define INDEX_ENTRY_RECORD_HIGH 0x04u
#define INDEX_ENTRY_LENGTH 0x08u
#define INDEX_ENTRY_NAME_LENGTH 0x50u
#define INDEX_ENTRY_NAME 0x52u
// The file reference and the entry length: what every entry must hold.
#define INDEX_ENTRY_HEADER_SIZE 0x10u

// $INDEX_ROOT value fields.
#define INDEX_ROOT_ALLOCATED_SIZE 0x18u
#define INDEX_ROOT_FIRST_ENTRY 0x20u

// "INDX" record fields.
#define INDEX_RECORD_UPDATE_SEQUENCE_COUNT 0x06u
#define INDEX_RECORD_FIRST_ENTRY 0x18u  // counted from 0x18
#define INDEX_RECORD_ALLOCATED_SIZE 0x20u  // counted from 0x18
#define INDEX_RECORD_NODE_BASE 0x18u
#define INDEX_RECORD_UPDATE_SEQUENCE 0x28u
#define INDEX_RECORD_UPDATE_ARRAY 0x2Au
#define INDEX_WINDOW_BLOCKS 4u
#define INDEX_WINDOW_SIZE (INDEX_WINDOW_BLOCKS * NTFS_BLOCK_SIZE)
// Records of up to 8 blocks: 8 saved words, an update sequence count of 9.
#define INDEX_SAVED_WORDS 8u

// Boot sector fields.
#define BOOT_OEM_ID 0x03u
#define BOOT_BYTES_PER_SECTOR 0x0Bu
#define BOOT_SECTORS_PER_CLUSTER 0x0Du
#define BOOT_MFT_CLUSTER 0x30u

// Run table capacities. The file's tables hold 142 entries, of which the
// last stays zero to end the extent list: 141 runs at most.
#define FILE_RUN_TABLE_SIZE 142u
#define FILE_RUN_CAPACITY (FILE_RUN_TABLE_SIZE - 1u)
#define WALK_RUN_CAPACITY 32u

// Path key: 128 characters of two bytes each and the end marker.
#define MAX_PATH_CHARACTERS 128u
#define PATH_KEY_SIZE (2u * MAX_PATH_CHARACTERS + 1u)
#define PATH_KEY_SEPARATOR 0xEEu
#define PATH_KEY_END 0xFFu
// A component of at most 63 characters: 126 name bytes and its marker.
#define COMPONENT_BUFFER_SIZE 128u
#define MAX_COMPONENT_BYTES (COMPONENT_BUFFER_SIZE - 2u)

// FileRecord.cpp
VOID FixupFileRecord(UINT8 *Record);
UINT16 FindAttribute(const UINT8 *Record, UINT32 Type);
UINT32 AttributeLength(const UINT8 *Record, UINT16 Offset);
UINT32 AttributeRunListOffset(const UINT8 *Record, UINT16 Offset);

// DataRuns.cpp
EFI_STATUS DecodeDataRuns(UINT64 *RunStarts, UINT64 *RunLengths,
                          UINT32 Capacity, const UINT8 *RunList,
                          UINT32 RunListLength, UINT64 Base, UINT32 *RunCount,
                          UINT32 BlocksPerCluster);

// IndexRoot.cpp
UINT8 CompareIndexName(const UINT16 *KeyLength, const UINT8 *Key,
                       const UINT8 *Name);
UINT64 IndexEntryRecordNumber(const UINT8 *Entry);
UINT64 IndexRootSearch(const UINT8 *Value, UINT32 ValueLength,
                       const UINT8 *Key, const UINT16 *KeyLength);

// IndexAllocation.cpp
UINT64 IndexAllocationSearch(const UINT64 *RunLengths, const UINT64 *RunStarts,
                             RecoveryContext *Context, UINT32 DeviceIndex,
                             const UINT8 *Key, const UINT16 *KeyLength,
                             const UINT32 *RunCount);
VOID ReadIndexRecordHeader(UINT32 RecordBlock, RecoveryContext *Context,
                           UINT32 DeviceIndex, UINT64 WindowBlock,
                           UINT16 *SavedArray);

// PathWalk.cpp
EFI_STATUS WalkPath(RecoveryContext *Context, UINT32 DeviceIndex,
                    const UINT8 *Key, UINT32 KeyRemaining, UINT16 *Step,
                    UINT64 MftStartBlock, UINT64 PartitionStart,
                    UINT64 *RecordNumber, UINT8 *EndReached,
                    UINT32 BlocksPerCluster, UINT64 *RecordBlock);
EFI_STATUS MapRecordToBlock(UINT64 RecordNumber, UINT32 RecordStride,
                            const UINT64 *RunStarts, const UINT64 *RunLengths,
                            UINT32 RunCount, UINT64 *Block);

// RecoveryFile.cpp
EFI_STATUS BuildPathKey(const CHAR16 *Path, UINT8 *Key);
EFI_STATUS LocateRecoveryFile(RecoveryContext *Context, const CHAR16 *Path,
                              RecoveryFileInfo *Info);

#endif  // NTFS_RECOVERY_PEI_NTFS_NTFS_H_
