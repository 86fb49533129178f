// Opening a disk image for an emulated recovery block I/O PPI, with the
// checks the tools promise: a readable regular file, not empty, a whole
// number of blocks, and few enough blocks for the 32-bit LastBlock.
#ifndef EMULATOR_DISK_IMAGE_H_
#define EMULATOR_DISK_IMAGE_H_

#include <string>

#include "host/platform/BlockDevice.h"

namespace emulator {

// Opens Path as a device. The block size is 2048 (a CD-ROM device) for an
// ISO 9660 image, with "CD001" at the start of sector 16, and 512 (a USB
// mass storage device) otherwise. Returns null and sets Error to a sentence
// naming the file when the image is unusable.
HostPlatform::BlockDevicePtr OpenDiskImage(const std::string &Path,
                                           std::string *Error);

}  // namespace emulator

#endif  // EMULATOR_DISK_IMAGE_H_
