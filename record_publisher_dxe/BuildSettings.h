// The two build-time settings of RecordPublisherDxe, constants of the image
// that nothing writes at run time. The build passes other values as defines
// for the variant images and their host libraries; without them the shipped
// values (both 0) hold.
#ifndef RECORD_PUBLISHER_DXE_BUILD_SETTINGS_H_
#define RECORD_PUBLISHER_DXE_BUILD_SETTINGS_H_

#include "efi/Base.h"

#ifndef RECORD_PUBLISHER_REQUIRED_UEFI_REVISION
#define RECORD_PUBLISHER_REQUIRED_UEFI_REVISION 0
#endif
#ifndef RECORD_PUBLISHER_BUILD_OPTION_FLAG
#define RECORD_PUBLISHER_BUILD_OPTION_FLAG 0
#endif

// The lowest system table revision (Hdr.Revision) with which the entry point
// goes on; 0 lets every revision through without looking at it.
constexpr UINT32 RequiredUefiRevision = RECORD_PUBLISHER_REQUIRED_UEFI_REVISION;

// When not 0: the entry point registers DriverUnload as the image's unload
// handler, and the record carries the HOB's flag. One byte for both effects.
constexpr UINT8 BuildOptionFlag = RECORD_PUBLISHER_BUILD_OPTION_FLAG;

#endif  // RECORD_PUBLISHER_DXE_BUILD_SETTINGS_H_
