// Micro benchmark of the recovery file lookup on the 32-bit host build:
// for each path, runs the entry point (discovery) on a fresh simulated
// platform over the image, then times GetRecoveryCapsuleInfo (the lookup:
// partition location, boot sector, path walk, index searches, data runs)
// and counts the device reads and bytes it makes. Prints one line per path:
// the median and the fastest time of ITERATIONS lookups, the reads and the
// bytes read by one lookup, the capsule size and the lookup's status (a
// path that is not there measures the longest scan).
//
//   lookup_bench IMAGE ITERATIONS PATH...
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "host/pei/SimulatedPeiPlatform.h"

namespace {

struct Lookup {
  EFI_STATUS Status;
  double Seconds;
  uint64_t Reads;
  uint64_t Bytes;
  UINTN Size;
};

Lookup RunLookup(const std::string &Image, const std::u16string &Path) {
  HostPei::SimulatedPeiPlatform Platform;
  Platform.AddBlockIoPpi({HostPlatform::BlockDevice::OpenImage(Image)});
  Platform.SetRecoveryPath(Path);
  Lookup Result = {};
  Result.Status = Platform.RunEntryPoint();
  EFI_PEI_DEVICE_RECOVERY_MODULE_PPI *Ppi = Platform.RecoveryPpi();
  if (EFI_ERROR(Result.Status) || Ppi == nullptr) return Result;

  const size_t Before = Platform.Trace().Reads().size();
  EFI_GUID Type;
  auto Start = std::chrono::steady_clock::now();
  Result.Status = Ppi->GetRecoveryCapsuleInfo(Platform.Services(), Ppi, 0,
                                              &Result.Size, &Type);
  auto End = std::chrono::steady_clock::now();
  Result.Seconds = std::chrono::duration<double>(End - Start).count();
  const auto &Reads = Platform.Trace().Reads();
  for (size_t I = Before; I < Reads.size(); ++I) {
    ++Result.Reads;
    Result.Bytes += Reads[I].BufferSize;
  }
  return Result;
}

}  // namespace

int main(int Argc, char **Argv) {
  if (Argc < 4) {
    fprintf(stderr, "usage: lookup_bench IMAGE ITERATIONS PATH...\n");
    return 2;
  }
  const std::string Image = Argv[1];
  const int Iterations = std::max(1, atoi(Argv[2]));
  printf("%-24s %12s %12s %8s %10s %10s %s\n", "path", "median_us", "min_us",
         "reads", "bytes", "size", "status");
  for (int A = 3; A < Argc; ++A) {
    std::u16string Path;
    for (const char *C = Argv[A]; *C; ++C) Path.push_back(static_cast<char16_t>(*C));
    std::vector<double> Times;
    Lookup Last = {};
    for (int I = 0; I < Iterations; ++I) {
      Last = RunLookup(Image, Path);
      Times.push_back(Last.Seconds);
    }
    std::sort(Times.begin(), Times.end());
    printf("%-24s %12.1f %12.1f %8llu %10llu %10u %#x\n", Argv[A],
           Times[Times.size() / 2] * 1e6, Times.front() * 1e6,
           static_cast<unsigned long long>(Last.Reads),
           static_cast<unsigned long long>(Last.Bytes),
           static_cast<unsigned>(Last.Size), static_cast<unsigned>(Last.Status));
  }
  return 0;
}
