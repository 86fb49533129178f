// ntfs-recovery: runs the real NtfsRecoveryPei image on disk images under the
// emulated PEI platform, as the platform's recovery code would.
//   ntfs-recovery probe   --disk IMAGE ... [--late-disk IMAGE ...] [--json]
//   ntfs-recovery recover --disk IMAGE ... [--late-disk IMAGE ...]
//                         --path 'DIR\FILE' --out FILE [--json] [--trace]
#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>

#include "emulator/DiskImage.h"
#include "emulator/PeiPlatform.h"
#include "tools/Common.h"
#include "tools/Json.h"

namespace {

using emulator::PeiPlatform;
using emulator::StatusName;
using tools::JsonWriter;

struct Options {
  std::vector<std::string> Disks;
  std::vector<std::string> LateDisks;
  std::string Path;
  std::string Out;
  bool Json = false;
  bool Trace = false;
};

[[noreturn]] void Fail(int Code, const std::string &Line) {
  std::fprintf(stderr, "ntfs-recovery: %s\n", Line.c_str());
  std::exit(Code);
}

// The image (NTFS_RECOVERY_PEI_IMAGE overrides the built one) and the disks,
// checked before anything runs.
std::unique_ptr<PeiPlatform> MakePlatform(
    const Options &O, std::vector<HostPlatform::BlockDevicePtr> *Late) {
  if (O.Disks.empty() && O.LateDisks.empty())
    Fail(tools::kExitBadInput,
         "give at least one disk image with --disk or --late-disk");
  std::vector<HostPlatform::BlockDevicePtr> Early;
  std::string Error;
  for (const std::string &P : O.Disks) {
    Early.push_back(emulator::OpenDiskImage(P, &Error));
    if (!Early.back()) Fail(tools::kExitBadInput, Error);
  }
  for (const std::string &P : O.LateDisks) {
    Late->push_back(emulator::OpenDiskImage(P, &Error));
    if (!Late->back()) Fail(tools::kExitBadInput, Error);
  }
  const char *Env = std::getenv("NTFS_RECOVERY_PEI_IMAGE");
  const std::string ImagePath =
      Env && *Env ? Env : tools::DefaultImagePath("NtfsRecoveryPei.efi");
  emulator::PeImage Image;
  if (!emulator::LoadPeFile(ImagePath, &Image, &Error))
    Fail(tools::kExitBadInput, Error);
  std::unique_ptr<PeiPlatform> Platform;
  try {
    Platform = std::make_unique<PeiPlatform>(Image, "NtfsRecoveryPei.efi");
  } catch (const std::runtime_error &E) {
    Fail(tools::kExitBadInput, ImagePath + ": " + E.what());
  }
  for (auto &D : Early) Platform->AddDisk(D);
  return Platform;
}

// Runs the entry point, then installs the late disks (the notify path).
void Start(PeiPlatform &P, std::vector<HostPlatform::BlockDevicePtr> &Late) {
  const EFI_STATUS S = P.RunEntryPoint();
  if (S != 0)
    Fail(tools::kExitFailed, "RecoveryModuleEntry returned " + StatusName(S));
  if (!P.RecoveryPpiInstalled())
    Fail(tools::kExitFailed,
         "RecoveryModuleEntry returned EFI_SUCCESS but installed no "
         "device recovery module PPI");
  for (auto &D : Late) P.AddDisk(D);
}

// Why the module offers no capsule, from its volume count.
std::string WhyNoCapsule(uint32_t VolumeCount) {
  // The firmware counts volumes in table order and stops at the first row
  // without one: a count of 0 says that block device 0 holds none.
  if (VolumeCount == 0)
    return "no NTFS volume found on block device 0 (the firmware stops "
           "counting volumes at the first device without one)";
  return std::to_string(VolumeCount) +
         " NTFS volumes found, so the firmware offers no capsule";
}

std::string WhyLookupFailed(PeiPlatform &P, const std::u16string &Path);

// Why a call failed, as far as the platform can tell; Path is set for a
// failed lookup, whose EFI_DEVICE_ERROR is then looked into.
std::string WhyFailed(PeiPlatform &P, EFI_STATUS S, size_t FirstRead,
                      const std::u16string *Path) {
  const auto &Reads = P.Trace().Reads();
  for (size_t I = FirstRead; I < Reads.size(); ++I) {
    const HostPlatform::ReadRecord &R = Reads[I];
    if (R.Result != HostPlatform::Status::Success)
      return "a device read failed: " + std::to_string(R.BufferSize) +
             " bytes at block " + std::to_string(R.StartLba) + " of disk " +
             std::to_string(R.Instance) + " gave " +
             StatusName(HostPlatform::ToEfiStatus<uint32_t>(R.Result));
  }
  switch (S & 0x7FFFFFFFu) {
    case 1:
      return "the boot sector of block device 0's volume is not NTFS";
    case 9:
      return "the module ran out of memory";
    case 14:
      return "no recovery path is configured";
    case 7:
      return Path ? WhyLookupFailed(P, *Path) : "";
    default:
      return "";
  }
}

// The reads made from the FirstRead-th on, without their ordinals.
std::vector<std::vector<uint64_t>> ReadsFrom(PeiPlatform &P, size_t FirstRead) {
  std::vector<std::vector<uint64_t>> Reads;
  const auto &All = P.Trace().Reads();
  for (size_t I = FirstRead; I < All.size(); ++I)
    Reads.push_back({All[I].Instance, All[I].DeviceIndex, All[I].StartLba,
                     All[I].BufferSize, static_cast<uint64_t>(All[I].Result)});
  return Reads;
}

// Why a lookup of Path failed with EFI_DEVICE_ERROR without a failed read,
// found by asking the module itself. A lookup of "<first j components>\\/"
// ('/' names no NTFS file) searches the directory that the first j
// components lead to; its reads equal those of the same lookup one level up
// exactly when component j is not in its parent directory.
std::string WhyLookupFailed(PeiPlatform &P, const std::u16string &Path) {
  std::vector<std::u16string> Parts(1);
  for (char16_t C : Path) {
    if (C == u'\\')
      Parts.emplace_back();
    else
      Parts.back() += C;
  }
  auto Text = [](const std::u16string &U) {
    std::string S;
    for (char16_t C : U) S += C < 0x80 ? static_cast<char>(C) : '?';
    return S;
  };
  if (Path.size() > 128) return "the path is longer than 128 characters";
  for (const std::u16string &Part : Parts) {
    if (Part.empty()) return "the path has an empty component";
    if (Part.size() > 63)
      return "the path component '" + Text(Part) +
             "' is longer than 63 characters";
  }
  std::u16string Prefix;
  std::vector<std::vector<uint64_t>> Above;
  for (size_t J = 0; J <= Parts.size(); ++J) {
    if (J > 0) Prefix += Parts[J - 1] + u"\\";
    P.SetRecoveryPath(Prefix + u"/");
    const size_t Mark = P.Trace().Reads().size();
    uint64_t Size;
    EFI_GUID Type;
    P.GetRecoveryCapsuleInfo(&Size, &Type);
    std::vector<std::vector<uint64_t>> Here = ReadsFrom(P, Mark);
    if (J > 0 && Here == Above) {
      std::string Parent = "\\";
      for (size_t K = 0; K + 1 < J; ++K) Parent += Text(Parts[K]) + "\\";
      return "a path component not found: '" + Text(Parts[J - 1]) +
             "' is not in " + Parent;
    }
    Above = std::move(Here);
  }
  return "the file exists but is a directory or not stored as plain data (a "
         "sparse, compressed or encrypted file, one continued in other MFT "
         "records or in more runs than the module holds)";
}

void PrintTrace(PeiPlatform &P, const Options &O, size_t Count, std::FILE *To) {
  for (size_t I = 0; I < Count; ++I) {
    const HostPlatform::ReadRecord &R = P.Trace().Reads()[I];
    const std::string Name = R.Instance < O.Disks.size()
                                 ? O.Disks[R.Instance]
                                 : O.LateDisks[R.Instance - O.Disks.size()];
    std::fprintf(
        To, "read disk %u (%s) device %llu block %llu bytes %llu: %s\n",
        R.Instance, Name.c_str(),
        static_cast<unsigned long long>(R.DeviceIndex),
        static_cast<unsigned long long>(R.StartLba),
        static_cast<unsigned long long>(R.BufferSize),
        StatusName(HostPlatform::ToEfiStatus<uint32_t>(R.Result)).c_str());
  }
}

int Probe(const Options &O) {
  std::vector<HostPlatform::BlockDevicePtr> Late;
  auto P = MakePlatform(O, &Late);
  Start(*P, Late);
  uint64_t Count = 0;
  const EFI_STATUS S = P->GetNumberRecoveryCapsules(&Count);
  const emulator::ContextView V = P->ReadContext();
  if (O.Json) {
    JsonWriter J;
    J.BeginObject()
        .Key("BlockDeviceCount")
        .Number(V.BlockDeviceCount)
        .Key("BlockDevices")
        .BeginArray();
    for (const emulator::BlockDeviceRow &R : V.BlockDevices) {
      J.BeginObject()
          .Key("BlockSize")
          .Number(R.BlockSize)
          .Key("LastBlock")
          .Number(R.LastBlock)
          .Key("IsPartition")
          .Bool(R.IsPartition)
          .Key("StartOffset")
          .Number(R.StartOffset)
          .Key("ParentIndex")
          .Number(R.ParentIndex)
          .EndObject();
    }
    J.EndArray()
        .Key("VolumeCount")
        .Number(V.VolumeCount)
        .Key("NumberRecoveryCapsules")
        .Number(Count)
        .EndObject();
    std::printf("%s\n", J.Text().c_str());
  } else {
    std::printf("Block devices: %u\n", V.BlockDeviceCount);
    std::printf("  %5s  %9s  %12s  %-9s  %12s  %6s\n", "Index", "BlockSize",
                "LastBlock", "Kind", "StartOffset", "Parent");
    for (size_t I = 0; I < V.BlockDevices.size(); ++I) {
      const emulator::BlockDeviceRow &R = V.BlockDevices[I];
      if (R.IsPartition)
        std::printf("  %5zu  %9u  %12llu  %-9s  %12llu  %6u\n", I, R.BlockSize,
                    static_cast<unsigned long long>(R.LastBlock), "partition",
                    static_cast<unsigned long long>(R.StartOffset),
                    R.ParentIndex);
      else
        std::printf("  %5zu  %9u  %12llu  %-9s  %12s  %6s\n", I, R.BlockSize,
                    static_cast<unsigned long long>(R.LastBlock), "device", "-",
                    "-");
    }
    std::printf("Volumes: %u\n", V.VolumeCount);
    if (!V.Volumes.empty())
      std::printf("  %5s  %11s  %14s\n", "Index", "BlockDevice",
                  "FileSystemType");
    for (size_t I = 0; I < V.Volumes.size(); ++I)
      std::printf("  %5zu  %11u  %14u\n", I, V.Volumes[I].BlockDeviceIndex,
                  V.Volumes[I].FileSystemType);
    std::printf("NumberRecoveryCapsules: %llu\n",
                static_cast<unsigned long long>(Count));
  }
  if (S != 0)
    Fail(tools::kExitFailed,
         "GetNumberRecoveryCapsules returned " + StatusName(S));
  return 0;
}

int Recover(const Options &O) {
  std::u16string Path;
  if (!tools::Utf8ToUtf16(O.Path, &Path))
    Fail(tools::kExitBadInput, "--path is not valid UTF-8");
  std::vector<HostPlatform::BlockDevicePtr> Late;
  auto P = MakePlatform(O, &Late);
  P->SetRecoveryPath(Path);
  Start(*P, Late);

  uint64_t Count = 0, Size = 0;
  EFI_GUID Type = {};
  bool HaveInfo = false;
  std::string Failure;
  // The reads and tables of the flow itself, before any look into a failure.
  size_t FlowReads = SIZE_MAX;
  emulator::ContextView View;
  EFI_STATUS S = P->GetNumberRecoveryCapsules(&Count);
  emulator::CapsuleBuffer Capsule;
  if (S != 0) {
    Failure = "GetNumberRecoveryCapsules returned " + StatusName(S);
  } else if (Count == 0) {
    Failure =
        "GetNumberRecoveryCapsules returned EFI_SUCCESS with no capsule: " +
        WhyNoCapsule(P->ReadContext().VolumeCount);
  } else {
    size_t Mark = P->Trace().Reads().size();
    S = P->GetRecoveryCapsuleInfo(&Size, &Type);
    if (S != 0) {
      FlowReads = P->Trace().Reads().size();
      View = P->ReadContext();
      const std::string Why = WhyFailed(*P, S, Mark, &Path);
      Failure = "GetRecoveryCapsuleInfo returned " + StatusName(S) +
                (Why.empty() ? "" : ": " + Why);
    } else {
      HaveInfo = true;
      Mark = P->Trace().Reads().size();
      S = P->LoadRecoveryCapsule(Size, &Capsule);
      if (S != 0) {
        const std::string Why = WhyFailed(*P, S, Mark, nullptr);
        Failure = "LoadRecoveryCapsule returned " + StatusName(S) +
                  (Why.empty() ? "" : ": " + Why);
      }
    }
  }
  if (Failure.empty()) {
    std::ofstream Out(O.Out, std::ios::binary | std::ios::trunc);
    // What cannot be opened is left alone; only a file this tool has begun
    // to write is removed when the write fails.
    if (!Out) Fail(tools::kExitBadInput, O.Out + ": cannot open for writing");
    Out.write(reinterpret_cast<const char *>(Capsule.Bytes),
              static_cast<std::streamsize>(Size));
    Out.close();
    if (!Out) {
      std::remove(O.Out.c_str());
      Fail(tools::kExitBadInput, O.Out + ": cannot write the capsule");
    }
  }
  if (FlowReads == SIZE_MAX) {
    FlowReads = P->Trace().Reads().size();
    View = P->ReadContext();
  }
  const emulator::ContextView &V = View;
  if (O.Trace) PrintTrace(*P, O, FlowReads, O.Json ? stderr : stdout);
  if (O.Json) {
    JsonWriter J;
    J.BeginObject()
        .Key("NumberRecoveryCapsules")
        .Number(Count)
        .Key("Status")
        .String(StatusName(S));
    J.Key("Size");
    if (HaveInfo)
      J.Number(Size);
    else
      J.Null();
    J.Key("CapsuleType");
    if (HaveInfo)
      J.String(tools::GuidText(Type));
    else
      J.Null();
    J.Key("Extents").BeginArray();
    if (HaveInfo)
      for (const emulator::ExtentRow &E : V.Extents)
        J.BeginObject()
            .Key("StartBlock")
            .Number(E.StartBlock)
            .Key("ByteLength")
            .Number(E.ByteLength)
            .EndObject();
    J.EndArray().Key("Reads").Number(FlowReads).EndObject();
    std::printf("%s\n", J.Text().c_str());
  } else if (Failure.empty()) {
    std::printf(
        "Recovery capsule loaded: %llu bytes, type %s, %zu extent%s, %zu "
        "device reads\n",
        static_cast<unsigned long long>(Size), tools::GuidText(Type).c_str(),
        V.Extents.size(), V.Extents.size() == 1 ? "" : "s", FlowReads);
    std::printf("Written to %s\n", O.Out.c_str());
  }
  if (!Failure.empty()) Fail(tools::kExitFailed, Failure);
  return 0;
}

void AddDiskOptions(CLI::App *Sub, Options &O) {
  Sub->add_option("--disk", O.Disks,
                  "disk image behind a recovery block I/O PPI installed before "
                  "the entry point")
      ->take_all()
      ->allow_extra_args(false);
  Sub->add_option("--late-disk", O.LateDisks,
                  "disk image behind a PPI installed after the entry point "
                  "(the notify path)")
      ->take_all()
      ->allow_extra_args(false);
  Sub->add_flag("--json", O.Json, "print one JSON object instead of text");
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App App{
      "Runs the NtfsRecoveryPei firmware image on disk images under an "
      "emulated PEI "
      "platform."};
  App.require_subcommand(1);
  Options O;
  CLI::App *ProbeCmd =
      App.add_subcommand("probe",
                         "Run the entry point and print the block device and "
                         "volume tables and the "
                         "capsule count");
  AddDiskOptions(ProbeCmd, O);
  CLI::App *RecoverCmd = App.add_subcommand(
      "recover",
      "Run the whole recovery flow and write the loaded capsule to a file");
  AddDiskOptions(RecoverCmd, O);
  RecoverCmd
      ->add_option("--path", O.Path,
                   "recovery file path on the volume, e.g. 'DIR\\FILE'")
      ->required();
  RecoverCmd->add_option("--out", O.Out, "file to write the loaded capsule to")
      ->required();
  RecoverCmd->add_flag("--trace", O.Trace, "print every device read");
  try {
    App.parse(argc, argv);
  } catch (const CLI::ParseError &E) {
    const int Code = App.exit(E);
    return Code == 0 ? 0 : tools::kExitBadInput;
  }
  try {
    return ProbeCmd->parsed() ? Probe(O) : Recover(O);
  } catch (const emulator::GuestFault &E) {
    Fail(tools::kExitGuestFault, E.what());
  } catch (const std::exception &E) {
    Fail(tools::kExitBadInput, E.what());
  }
}
