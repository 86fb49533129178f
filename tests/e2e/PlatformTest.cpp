// The real firmware images under the emulated platforms, driven through the
// library: injected read failures at every read of a whole recovery, the
// stack depth of a five-component lookup, and the DXE driver's unload
// handler and pool failure.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>

#include "emulator/DiskImage.h"
#include "emulator/DxePlatform.h"
#include "emulator/PeiPlatform.h"
#include "tests/e2e/E2eSupport.h"

namespace {

using emulator::PeImage;
using emulator::PeiPlatform;

PeImage LoadImage(const std::string &Name) {
  PeImage Image;
  std::string Error;
  EXPECT_TRUE(
      emulator::LoadPeFile(e2e::BuildPath("firmware/" + Name), &Image, &Error))
      << Error;
  return Image;
}

HostPlatform::BlockDevicePtr Disk(const std::string &Path) {
  std::string Error;
  HostPlatform::BlockDevicePtr D = emulator::OpenDiskImage(Path, &Error);
  EXPECT_TRUE(D) << Error;
  return D;
}

const char *const kFivePath = "EFI\\Vendor\\Recovery\\Images\\Capsule.bin";

// One recovery as the platform's recovery code runs it. Returns the loaded
// bytes, or nothing when a call failed; Calls holds each call's status and
// the number of reads made when it returned.
struct Outcome {
  std::optional<std::vector<uint8_t>> Capsule;
  std::vector<std::pair<EFI_STATUS, uint64_t>> Calls;
};

Outcome Recover(PeiPlatform &P) {
  Outcome O;
  P.SetRecoveryPath(u"EFI\\Vendor\\Recovery\\Images\\Capsule.bin");
  const EFI_STATUS Entry = P.RunEntryPoint();
  O.Calls.push_back({Entry, P.Trace().ReadCount()});
  uint64_t Count = 0, Size = 0;
  EFI_GUID Type;
  O.Calls.push_back(
      {P.GetNumberRecoveryCapsules(&Count), P.Trace().ReadCount()});
  if (Entry != 0 || Count != 1) return O;
  const EFI_STATUS Info = P.GetRecoveryCapsuleInfo(&Size, &Type);
  O.Calls.push_back({Info, P.Trace().ReadCount()});
  if (Info != 0) return O;
  emulator::CapsuleBuffer B;
  const EFI_STATUS Load = P.LoadRecoveryCapsule(Size, &B);
  O.Calls.push_back({Load, P.Trace().ReadCount()});
  if (Load == 0) O.Capsule = std::vector<uint8_t>(B.Bytes, B.Bytes + B.Size);
  return O;
}

// A read that fails inside the lookup or the load fails that call; one that
// fails during discovery may cost the volume, but never yields wrong bytes.
TEST(InjectedReadFailures, EveryReadOfARecovery) {
  const PeImage Image = LoadImage("NtfsRecoveryPei.efi");
  const std::string Medium = e2e::E2eMedia("five.img");
  PeiPlatform Good(Image, "NtfsRecoveryPei.efi");
  Good.AddDisk(Disk(Medium));
  const Outcome Reference = Recover(Good);
  ASSERT_TRUE(Reference.Capsule);
  const uint64_t Reads = Good.Trace().ReadCount();
  const uint64_t DiscoveryReads = Reference.Calls[1].second;
  ASSERT_GT(Reads, DiscoveryReads + 5);
  for (uint64_t N = 1; N <= Reads; ++N) {
    PeiPlatform P(Image, "NtfsRecoveryPei.efi");
    P.AddDisk(Disk(Medium));
    P.Trace().FailNthRead(N);
    const Outcome O =
        Recover(P);  // a guest fault would throw and fail the test
    if (O.Capsule) {
      EXPECT_LE(N, DiscoveryReads)
          << "read " << N << " failed, yet the capsule loaded";
      EXPECT_EQ(*O.Capsule, *Reference.Capsule) << "read " << N;
    }
    if (N > DiscoveryReads) {
      ASSERT_FALSE(O.Capsule) << "read " << N;
      EXPECT_NE(O.Calls.back().first & 0x80000000u, 0u)
          << "read " << N << " failed unnoticed";
    }
  }
}

// The deepest stack of a five-component lookup, measured on the real image.
TEST(StackDepth, FiveComponentLookup) {
  const PeImage Image = LoadImage("NtfsRecoveryPei.efi");
  PeiPlatform P(Image, "NtfsRecoveryPei.efi");
  P.AddDisk(Disk(e2e::E2eMedia("five.img")));
  P.SetRecoveryPath(u"EFI\\Vendor\\Recovery\\Images\\Capsule.bin");
  ASSERT_EQ(P.RunEntryPoint(), 0u);
  uint64_t Count = 0, Size = 0;
  EFI_GUID Type;
  ASSERT_EQ(P.GetNumberRecoveryCapsules(&Count), 0u);
  P.Cpu().TrackStack(true);
  ASSERT_EQ(P.GetRecoveryCapsuleInfo(&Size, &Type), 0u);
  P.Cpu().TrackStack(false);
  const uint64_t Used = P.Cpu().StackTop() - P.Cpu().LowestStackPointer();
  std::printf(
      "five-component lookup (%s): lowest ESP 0x%llx, %llu bytes below the "
      "stack top, "
      "%llu guest instructions\n",
      kFivePath, static_cast<unsigned long long>(P.Cpu().LowestStackPointer()),
      static_cast<unsigned long long>(Used),
      static_cast<unsigned long long>(P.Cpu().InstructionsExecuted()));
  RecordProperty("StackBytes", std::to_string(Used));
  EXPECT_LT(Used, 128u * 1024u);
}

// Without the PCD PPI the lookup reports EFI_NOT_FOUND, and a capsule
// buffer of exactly Size bytes (guard page after it) is never overrun.
TEST(RecoveryServices, NoPcdAndExactBuffer) {
  const PeImage Image = LoadImage("NtfsRecoveryPei.efi");
  PeiPlatform P(Image, "NtfsRecoveryPei.efi");
  P.InstallPcd(false);
  P.AddDisk(Disk(e2e::E2eMedia("five.img")));
  ASSERT_EQ(P.RunEntryPoint(), 0u);
  uint64_t Size = 0;
  EFI_GUID Type;
  EXPECT_EQ(P.GetRecoveryCapsuleInfo(&Size, &Type), 0x8000000Eu);
  // LoadRecoveryCapsule before any successful lookup reads nothing.
  const uint64_t Reads = P.Trace().ReadCount();
  emulator::CapsuleBuffer B;
  EXPECT_EQ(P.LoadRecoveryCapsule(0, &B), 0u);
  EXPECT_EQ(P.Trace().ReadCount(), Reads);
}

TEST(RecordPublisherImage, UnloadHandlerAndPoolFailure) {
  emulator::DxePlatform::Settings S;
  S.HobList = emulator::StandardHobList(uint8_t{0x80});
  {
    emulator::DxePlatform P(LoadImage("RecordPublisherDxe-BuildOptionFlag.efi"),
                            "flag.efi", S);
    ASSERT_EQ(P.RunEntryPoint(), 0u);
    ASSERT_NE(P.UnloadHandler(), 0u);
    EXPECT_EQ(P.CallUnload(), 0u);
    ASSERT_TRUE(P.InstalledRecord());
    EXPECT_EQ((*P.InstalledRecord())[1], 1);
  }
  {
    emulator::DxePlatform P(LoadImage("RecordPublisherDxe.efi"), "shipped.efi",
                            S);
    ASSERT_EQ(P.RunEntryPoint(), 0u);
    EXPECT_EQ(P.UnloadHandler(), 0u);
    EXPECT_EQ(
        P.ServiceCalls(),
        (std::vector<std::string>{"AllocatePool", "InstallProtocolInterface"}));
  }
  {
    S.FailAllocatePool = true;
    emulator::DxePlatform P(LoadImage("RecordPublisherDxe.efi"), "shipped.efi",
                            S);
    EXPECT_EQ(P.RunEntryPoint(), EFI_OUT_OF_RESOURCES);
    EXPECT_FALSE(P.InstalledRecord());
  }
}

}  // namespace
