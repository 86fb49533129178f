// record-publisher: runs the real RecordPublisherDxe image under the
// emulated DXE platform and shows the record it installed.
//   record-publisher run [--image PATH] [--hob-flag BYTE | --no-hob]
//                        [--revision R] [--duplicate-install] [--json]
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>

#include "emulator/DxePlatform.h"
#include "emulator/PeiPlatform.h"
#include "tools/Common.h"
#include "tools/Json.h"

namespace {

[[noreturn]] void Fail(int Code, const std::string &Line) {
  std::fprintf(stderr, "record-publisher: %s\n", Line.c_str());
  std::exit(Code);
}

// "2.70" (major.minor, minor in decimal as the revision macros give it) or a
// plain number such as 0x20046.
bool ParseRevision(const std::string &Text, uint32_t *Out) {
  try {
    size_t Used = 0;
    const size_t Dot = Text.find('.');
    if (Dot != std::string::npos) {
      const unsigned long Major = std::stoul(Text.substr(0, Dot), &Used, 10);
      if (Used != Dot) return false;
      const std::string MinorText = Text.substr(Dot + 1);
      const unsigned long Minor = std::stoul(MinorText, &Used, 10);
      if (Used != MinorText.size() || Major > 0xFFFF || Minor > 0xFFFF)
        return false;
      *Out = static_cast<uint32_t>((Major << 16) | Minor);
      return true;
    }
    const unsigned long long V = std::stoull(Text, &Used, 0);
    if (Used != Text.size() || V > 0xFFFFFFFFull) return false;
    *Out = static_cast<uint32_t>(V);
    return true;
  } catch (const std::exception &) {
    return false;
  }
}

std::string HexBytes(const std::vector<uint8_t> &Bytes) {
  std::string S;
  char B[4];
  for (uint8_t V : Bytes) {
    std::snprintf(B, sizeof B, "%02x", V);
    S += B;
  }
  return S;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App App{
      "Runs the RecordPublisherDxe firmware image under an emulated DXE "
      "platform."};
  App.require_subcommand(1);
  CLI::App *Run =
      App.add_subcommand("run",
                         "Run the driver's entry point and show the record "
                         "installed on its image handle");
  std::string ImagePath = tools::DefaultImagePath("RecordPublisherDxe.efi");
  std::string FlagText, RevisionText = "2.70";
  bool NoHob = false, Duplicate = false, Json = false;
  Run->add_option("--image", ImagePath,
                  "the driver image (default: the built one)");
  CLI::Option *FlagOpt =
      Run->add_option("--hob-flag", FlagText,
                      "flag byte of the RecordSourceHob (0-255, default 0)");
  CLI::Option *NoHobOpt =
      Run->add_flag("--no-hob", NoHob, "leave the RecordSourceHob out");
  FlagOpt->excludes(NoHobOpt);
  Run->add_option(
      "--revision", RevisionText,
      "system table revision, as major.minor (2.70) or a number (0x20046)");
  Run->add_flag("--duplicate-install", Duplicate,
                "install a record on the image handle before the driver runs");
  Run->add_flag("--json", Json, "print one JSON object instead of text");
  try {
    App.parse(argc, argv);
  } catch (const CLI::ParseError &E) {
    const int Code = App.exit(E);
    return Code == 0 ? 0 : tools::kExitBadInput;
  }

  emulator::DxePlatform::Settings S;
  if (!ParseRevision(RevisionText, &S.Revision))
    Fail(tools::kExitBadInput,
         "--revision " + RevisionText +
             " is neither major.minor nor a 32-bit number");
  std::optional<uint8_t> Flag = uint8_t{0};
  if (NoHob) {
    Flag.reset();
  } else if (!FlagText.empty()) {
    try {
      size_t Used = 0;
      const unsigned long V = std::stoul(FlagText, &Used, 0);
      if (Used != FlagText.size() || V > 0xFF) throw std::out_of_range("flag");
      Flag = static_cast<uint8_t>(V);
    } catch (const std::exception &) {
      Fail(tools::kExitBadInput,
           "--hob-flag " + FlagText + " is not a byte (0-255)");
    }
  }
  S.HobList = emulator::StandardHobList(Flag);
  if (Duplicate) S.PreinstalledRecord = std::vector<uint8_t>(12, 0xEE);

  emulator::PeImage Image;
  std::string Error;
  if (!emulator::LoadPeFile(ImagePath, &Image, &Error))
    Fail(tools::kExitBadInput, Error);
  try {
    emulator::DxePlatform P(
        Image, ImagePath.substr(ImagePath.find_last_of('/') + 1), S);
    const EFI_STATUS Status = P.RunEntryPoint();
    const std::optional<std::vector<uint8_t>> Record = P.InstalledRecord();
    const std::string Name = emulator::StatusName(Status, 8);
    if (Json) {
      tools::JsonWriter J;
      J.BeginObject().Key("Status").String(Name).Key("Record");
      if (Record)
        J.String(HexBytes(*Record));
      else
        J.Null();
      J.EndObject();
      std::printf("%s\n", J.Text().c_str());
    } else {
      std::printf("DriverEntry returned %s\n", Name.c_str());
      if (Record)
        std::printf(
            "Record on the image handle: %s%s\n", HexBytes(*Record).c_str(),
            Duplicate ? " (the one installed before the driver ran)" : "");
      else
        std::printf("Record on the image handle: none installed\n");
    }
    return Status == EFI_SUCCESS ? 0 : tools::kExitFailed;
  } catch (const emulator::GuestFault &E) {
    Fail(tools::kExitGuestFault, E.what());
  } catch (const std::exception &E) {
    Fail(tools::kExitBadInput, ImagePath + ": " + E.what());
  }
}
