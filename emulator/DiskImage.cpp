// Disk image checks; see DiskImage.h.
#include "emulator/DiskImage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace emulator {

HostPlatform::BlockDevicePtr OpenDiskImage(const std::string &Path,
                                           std::string *Error) {
  const int Fd = open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) {
    *Error = Path + ": cannot open the disk image: " + std::strerror(errno);
    return nullptr;
  }
  struct stat St;
  const bool Regular = fstat(Fd, &St) == 0 && S_ISREG(St.st_mode);
  char Id[5] = {};
  const bool Iso = Regular && pread(Fd, Id, 5, 16 * 2048 + 1) == 5 &&
                   std::memcmp(Id, "CD001", 5) == 0;
  close(Fd);
  if (!Regular) {
    *Error = Path + ": the disk image is not a regular file";
    return nullptr;
  }
  const uint64_t Size = static_cast<uint64_t>(St.st_size);
  const uint32_t BlockSize = Iso ? 2048 : 512;
  if (Size == 0) {
    *Error = Path + ": the disk image is empty";
    return nullptr;
  }
  if (Size % BlockSize != 0) {
    *Error = Path + ": the disk image's size (" + std::to_string(Size) +
             " bytes) is not a multiple of its block size (" +
             std::to_string(BlockSize) + ")";
    return nullptr;
  }
  if (Size / BlockSize - 1 > 0xFFFFFFFFull) {
    *Error =
        Path +
        ": the disk image has more blocks than a 32-bit LastBlock can count";
    return nullptr;
  }
  try {
    return HostPlatform::BlockDevice::OpenImage(
        Path, BlockSize,
        Iso ? HostPlatform::kIdeCdrom : HostPlatform::kUsbMassStorage);
  } catch (const std::exception &E) {
    *Error = Path + ": " + E.what();
    return nullptr;
  }
}

}  // namespace emulator
