// Simulated block devices over image files or memory.
#include "host/platform/BlockDevice.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

namespace HostPlatform {

namespace {

// LastBlock of a store of Size bytes in blocks of BlockSize bytes.
uint64_t LastBlockOf(uint64_t Size, uint32_t BlockSize) {
  if (BlockSize == 0 || Size == 0) return 0;
  return (Size + BlockSize - 1) / BlockSize - 1;
}

}  // namespace

std::shared_ptr<BlockDevice> BlockDevice::OpenImage(const std::string &Path,
                                                    uint32_t BlockSize,
                                                    uint32_t DeviceType) {
  int Fd = open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) {
    throw std::runtime_error("cannot open image " + Path + ": " +
                             strerror(errno));
  }
  struct stat Info;
  if (fstat(Fd, &Info) != 0) {
    close(Fd);
    throw std::runtime_error("cannot stat image " + Path);
  }
  std::shared_ptr<BlockDevice> Device(new BlockDevice());
  Device->Name_ = Path;
  Device->Fd_ = Fd;
  Device->StoreSize_ = static_cast<uint64_t>(Info.st_size);
  Device->Media_.DeviceType = DeviceType;
  Device->Media_.BlockSize = BlockSize;
  Device->Media_.LastBlock = LastBlockOf(Device->StoreSize_, BlockSize);
  return Device;
}

std::shared_ptr<BlockDevice> BlockDevice::FromBytes(std::vector<uint8_t> Bytes,
                                                    uint32_t BlockSize,
                                                    uint32_t DeviceType) {
  std::shared_ptr<BlockDevice> Device(new BlockDevice());
  Device->Name_ = "memory";
  Device->StoreSize_ = Bytes.size();
  Device->Bytes_ = std::move(Bytes);
  Device->Media_.DeviceType = DeviceType;
  Device->Media_.BlockSize = BlockSize;
  Device->Media_.LastBlock = LastBlockOf(Device->StoreSize_, BlockSize);
  return Device;
}

BlockDevice::~BlockDevice() {
  if (Fd_ >= 0) close(Fd_);
}

bool BlockDevice::ReadBytes(uint64_t Offset, uint64_t Count,
                            uint8_t *Out) const {
  uint64_t InStore = 0;
  if (Offset < StoreSize_) {
    InStore = StoreSize_ - Offset;
    if (InStore > Count) InStore = Count;
  }
  if (InStore != 0) {
    if (Fd_ < 0) {
      memcpy(Out, Bytes_.data() + Offset, static_cast<size_t>(InStore));
    } else {
      uint64_t Done = 0;
      while (Done < InStore) {
        ssize_t Got = pread(Fd_, Out + Done, static_cast<size_t>(InStore - Done),
                            static_cast<off_t>(Offset + Done));
        if (Got < 0 && errno == EINTR) continue;
        if (Got <= 0) return false;
        Done += static_cast<uint64_t>(Got);
      }
    }
  }
  if (Count > InStore) memset(Out + InStore, 0, static_cast<size_t>(Count - InStore));
  return true;
}

void BlockDevice::FailBlockRange(uint64_t First, uint64_t Last, Status S) {
  FailingRanges_.push_back({First, Last, S});
}

Status BlockDevice::RangeFailure(uint64_t First, uint64_t Last) const {
  for (const FailingRange &Range : FailingRanges_) {
    if (First <= Range.Last && Range.First <= Last) return Range.Result;
  }
  return Status::Success;
}

}  // namespace HostPlatform
