// The behaviour of one recovery block I/O PPI instance over simulated
// devices, without the ABI: the 32-bit simulated PEI platform and the
// 64-bit emulator each wrap it in their own PPI table. Every read is
// traced, and failures can be injected at each call.
#ifndef HOST_PLATFORM_RECOVERY_BLOCK_IO_H_
#define HOST_PLATFORM_RECOVERY_BLOCK_IO_H_

#include <stdint.h>

#include <memory>
#include <vector>

#include "host/platform/BlockDevice.h"
#include "host/platform/Status.h"

namespace HostPlatform {

// One ReadBlocks call as it arrived.
struct ReadRecord {
  uint64_t Ordinal;      // 1 for the first read of the trace
  uint32_t Instance;     // the PPI instance's Id
  uint64_t DeviceIndex;  // as passed by the caller
  uint64_t StartLba;
  uint64_t BufferSize;
  uint64_t PeiServices;  // the services pointer the caller passed
  Status Result;
};

// The reads of a whole platform, in order, shared by its PPI instances, and
// the read-count faults: the Nth read (counting from 1), or every read from
// the Nth on, fails with the given status.
class ReadTrace {
 public:
  const std::vector<ReadRecord> &Reads() const { return Reads_; }
  uint64_t ReadCount() const { return Count_; }
  void Clear() { Reads_.clear(); }

  void FailNthRead(uint64_t N, Status S = Status::DeviceError) {
    FailNth_ = N;
    FailNthStatus_ = S;
  }
  void FailReadsFrom(uint64_t N, Status S = Status::DeviceError) {
    FailFrom_ = N;
    FailFromStatus_ = S;
  }
  void ClearFaults() { FailNth_ = FailFrom_ = 0; }

  // Counts a new read and returns its ordinal and the injected status
  // (Success when none applies).
  uint64_t BeginRead(Status *Injected);
  void Record(const ReadRecord &Record) { Reads_.push_back(Record); }

 private:
  std::vector<ReadRecord> Reads_;
  uint64_t Count_ = 0;
  uint64_t FailNth_ = 0;
  Status FailNthStatus_ = Status::DeviceError;
  uint64_t FailFrom_ = 0;
  Status FailFromStatus_ = Status::DeviceError;
};

// One PPI instance: its devices numbered from 0, in the order given.
class RecoveryBlockIo {
 public:
  RecoveryBlockIo(std::vector<BlockDevicePtr> Devices,
                  std::shared_ptr<ReadTrace> Trace, uint32_t Id = 0);

  // GetNumberOfBlockDevices: the number of devices, or a value set by
  // ReportDeviceCount; DeviceCountFailure when that is an error.
  Status GetNumberOfBlockDevices(uint64_t *NumberBlockDevices);
  // GetBlockDeviceMediaInfo: InvalidParameter for an index without a
  // device, the device's injected failure, or its media record.
  Status GetBlockDeviceMediaInfo(uint64_t DeviceIndex, MediaInfo *Media);
  // ReadBlocks of any byte count (not only whole blocks), in this order:
  // traced; the trace's read-count fault; InvalidParameter for an index
  // without a device or a null buffer with a non-zero size; NoMedia
  // without media; InvalidParameter when a block of the request lies
  // beyond LastBlock; the device's block-range fault; DeviceError when the
  // host cannot read the image. A zero byte count reads nothing.
  Status ReadBlocks(uint64_t DeviceIndex, uint64_t StartLba,
                    uint64_t BufferSize, uint8_t *Buffer,
                    uint64_t PeiServices = 0);

  // Faults and overrides.
  void FailDeviceCount(Status S = Status::DeviceError) { CountFailure_ = S; }
  void ReportDeviceCount(uint64_t Count) {
    ReportedCount_ = Count;
    HasReportedCount_ = true;
  }

  // Observations: calls of GetNumberOfBlockDevices, and the device indexes
  // given to GetBlockDeviceMediaInfo, in order.
  uint64_t DeviceCountCalls() const { return DeviceCountCalls_; }
  const std::vector<uint64_t> &MediaInfoQueries() const { return MediaQueries_; }

  uint32_t Id() const { return Id_; }
  const std::vector<BlockDevicePtr> &Devices() const { return Devices_; }
  const std::shared_ptr<ReadTrace> &Trace() const { return Trace_; }

 private:
  Status Read(uint64_t DeviceIndex, uint64_t StartLba, uint64_t BufferSize,
              uint8_t *Buffer);

  std::vector<BlockDevicePtr> Devices_;
  std::shared_ptr<ReadTrace> Trace_;
  uint32_t Id_;
  Status CountFailure_ = Status::Success;
  uint64_t ReportedCount_ = 0;
  bool HasReportedCount_ = false;
  uint64_t DeviceCountCalls_ = 0;
  std::vector<uint64_t> MediaQueries_;
};

}  // namespace HostPlatform

#endif  // HOST_PLATFORM_RECOVERY_BLOCK_IO_H_
