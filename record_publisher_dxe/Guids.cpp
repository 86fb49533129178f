// The GUIDs of RecordPublisherDxe and the table through which the driver
// reaches them.
#include "record_publisher_dxe/RecordPublisherDxe.h"

namespace {

const EFI_GUID HobListGuid = EFI_HOB_LIST_GUID;
const EFI_GUID LoadedImageProtocolGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
const EFI_GUID RecordSourceHobGuid = RECORD_SOURCE_HOB_GUID;
const EFI_GUID PublishedRecordProtocolGuid = PUBLISHED_RECORD_PROTOCOL_GUID;

}  // namespace

const DriverGuidTable DriverGuids = {
    &HobListGuid,
    &LoadedImageProtocolGuid,
    &RecordSourceHobGuid,
    &PublishedRecordProtocolGuid,
};
