// One simulated recovery block I/O PPI instance over block devices.
#include "host/platform/RecoveryBlockIo.h"

namespace HostPlatform {

uint64_t ReadTrace::BeginRead(Status *Injected) {
  const uint64_t Ordinal = ++Count_;
  *Injected = Status::Success;
  if (FailNth_ != 0 && Ordinal == FailNth_) {
    *Injected = FailNthStatus_;
  } else if (FailFrom_ != 0 && Ordinal >= FailFrom_) {
    *Injected = FailFromStatus_;
  }
  return Ordinal;
}

RecoveryBlockIo::RecoveryBlockIo(std::vector<BlockDevicePtr> Devices,
                                 std::shared_ptr<ReadTrace> Trace, uint32_t Id)
    : Devices_(std::move(Devices)),
      Trace_(Trace ? std::move(Trace) : std::make_shared<ReadTrace>()),
      Id_(Id) {}

Status RecoveryBlockIo::GetNumberOfBlockDevices(uint64_t *NumberBlockDevices) {
  ++DeviceCountCalls_;
  if (IsError(CountFailure_)) return CountFailure_;
  if (NumberBlockDevices == nullptr) return Status::InvalidParameter;
  *NumberBlockDevices = HasReportedCount_ ? ReportedCount_ : Devices_.size();
  return Status::Success;
}

Status RecoveryBlockIo::GetBlockDeviceMediaInfo(uint64_t DeviceIndex,
                                                MediaInfo *Media) {
  MediaQueries_.push_back(DeviceIndex);
  if (DeviceIndex >= Devices_.size() || Media == nullptr) {
    return Status::InvalidParameter;
  }
  const BlockDevice &Device = *Devices_[DeviceIndex];
  if (IsError(Device.MediaInfoFailure())) return Device.MediaInfoFailure();
  *Media = Device.Media();
  return Status::Success;
}

Status RecoveryBlockIo::ReadBlocks(uint64_t DeviceIndex, uint64_t StartLba,
                                   uint64_t BufferSize, uint8_t *Buffer,
                                   uint64_t PeiServices) {
  Status Injected;
  const uint64_t Ordinal = Trace_->BeginRead(&Injected);
  Status Result =
      IsError(Injected) ? Injected : Read(DeviceIndex, StartLba, BufferSize, Buffer);
  Trace_->Record({Ordinal, Id_, DeviceIndex, StartLba, BufferSize, PeiServices,
                  Result});
  return Result;
}

Status RecoveryBlockIo::Read(uint64_t DeviceIndex, uint64_t StartLba,
                             uint64_t BufferSize, uint8_t *Buffer) {
  if (DeviceIndex >= Devices_.size()) return Status::InvalidParameter;
  if (Buffer == nullptr && BufferSize != 0) return Status::InvalidParameter;
  const BlockDevice &Device = *Devices_[DeviceIndex];
  const MediaInfo &Media = Device.Media();
  if (!Media.MediaPresent) return Status::NoMedia;
  if (BufferSize == 0) return Status::Success;
  if (Media.BlockSize == 0 || StartLba > Media.LastBlock) {
    return Status::InvalidParameter;
  }
  const uint64_t Extra = (BufferSize - 1) / Media.BlockSize;
  if (Extra > Media.LastBlock - StartLba) return Status::InvalidParameter;
  const Status Fault = Device.RangeFailure(StartLba, StartLba + Extra);
  if (IsError(Fault)) return Fault;
  uint64_t Offset = 0;
  if (__builtin_mul_overflow(StartLba, uint64_t(Media.BlockSize), &Offset)) {
    Offset = UINT64_MAX;  // far beyond any store: reads as zeros
  }
  if (!Device.ReadBytes(Offset, BufferSize, Buffer)) {
    return Status::DeviceError;
  }
  return Status::Success;
}

}  // namespace HostPlatform
