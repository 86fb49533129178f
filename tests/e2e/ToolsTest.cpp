// End-to-end tests of the tools: the real NtfsRecoveryPei and
// RecordPublisherDxe images run under the emulated platforms on real media,
// with ntfscat as the independent oracle of every capsule's bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "tests/e2e/E2eSupport.h"
#include "tests/e2e/TinyPe.h"

namespace {

using e2e::JsonField;
using e2e::RunTool;

// A capsule that must load: the tool's arguments and where ntfscat finds
// the same file.
struct LoadCase {
  const char *Name;
  std::vector<std::string> DiskArgs;  // --disk/--late-disk pairs
  const char *Path;                   // the PCD path given to the module
  std::string OracleImage;  // an NTFS volume image holding the same file
  const char *OraclePath;
  uint32_t ClusterSize;
};

std::vector<LoadCase> LoadCases() {
  using e2e::E2eMedia;
  using e2e::NtfsMedia;
  using e2e::PartitionMedia;
  const std::string Whole = PartitionMedia("whole.img");
  return {
      {"FiveComponents",
       {"--disk", E2eMedia("five.img")},
       "efi\\VENDOR\\Recovery\\images\\CAPSULE.BIN",
       E2eMedia("five.img"),
       "/EFI/Vendor/Recovery/Images/Capsule.bin",
       4096},
      {"WholeDevice",
       {"--disk", Whole},
       "recovery.cap",
       Whole,
       "/recovery.cap",
       4096},
      {"Gpt1",
       {"--disk", PartitionMedia("gpt1.img")},
       "RECOVERY.CAP",
       Whole,
       "/recovery.cap",
       4096},
      {"Gpt3AfterEspAndMsr",
       {"--disk", PartitionMedia("gpt3.img")},
       "recovery.cap",
       Whole,
       "/recovery.cap",
       4096},
      {"MbrType7",
       {"--disk", PartitionMedia("mbr7.img")},
       "recovery.cap",
       Whole,
       "/recovery.cap",
       4096},
      {"MbrAfterFat32",
       {"--disk", PartitionMedia("mbr-fat32-7.img")},
       "recovery.cap",
       Whole,
       "/recovery.cap",
       4096},
      {"LateDiskOnly",
       {"--late-disk", Whole},
       "recovery.cap",
       Whole,
       "/recovery.cap",
       4096},
      {"Root4k",
       {"--disk", NtfsMedia("ntfs-4k.img")},
       "recovery.bin",
       NtfsMedia("ntfs-4k.img"),
       "/RECOVERY.BIN",
       4096},
      {"DeepDirectory",
       {"--disk", NtfsMedia("ntfs-4k.img")},
       "dir1\\DIR2\\dir3\\Dir4\\dir5\\deep.BIN",
       NtfsMedia("ntfs-4k.img"),
       "/Dir1/Dir2/Dir3/Dir4/Dir5/Deep.bin",
       4096},
      {"ManyEntries",
       {"--disk", NtfsMedia("ntfs-4k.img")},
       "Many\\RECOVERY_CANDIDATE_ENTRY_1234.BIN",
       NtfsMedia("ntfs-4k.img"),
       "/Many/recovery_candidate_entry_1234.bin",
       4096},
      {"Fragmented50",
       {"--disk", NtfsMedia("ntfs-4k.img")},
       "Frag50.bin",
       NtfsMedia("ntfs-4k.img"),
       "/Frag50.bin",
       4096},
      {"Fragmented120Small",
       {"--disk", NtfsMedia("ntfs-512.img")},
       "Frag120.bin",
       NtfsMedia("ntfs-512.img"),
       "/Frag120.bin",
       512},
      {"Root64k",
       {"--disk", NtfsMedia("ntfs-64k.img")},
       "RECOVERY.BIN",
       NtfsMedia("ntfs-64k.img"),
       "/RECOVERY.BIN",
       65536},
      {"Gpt",
       {"--disk", NtfsMedia("gpt.img")},
       "efi\\recovery\\capsule.bin",
       NtfsMedia("gpt.img"),
       "",
       4096},
      {"Mbr",
       {"--disk", NtfsMedia("mbr.img")},
       "EFI\\Recovery\\Capsule.bin",
       NtfsMedia("mbr.img"),
       "",
       4096},
  };
}

class RecoverLoads : public ::testing::TestWithParam<size_t> {};

// The capsule's bytes equal ntfscat's over the file's length; Size is the
// space of whole clusters; the extents add up to Size.
TEST_P(RecoverLoads, MatchesNtfscat) {
  const LoadCase C = LoadCases()[GetParam()];
  const std::string Out = e2e::ScratchDir() + "/capsule";
  std::vector<std::string> Args = {"recover"};
  Args.insert(Args.end(), C.DiskArgs.begin(), C.DiskArgs.end());
  Args.insert(Args.end(), {"--path", C.Path, "--out", Out, "--json"});
  const e2e::ToolRun R = RunTool("ntfs-recovery", Args);
  ASSERT_EQ(R.Exit, 0) << R.Err;
  EXPECT_EQ(JsonField(R.Out, "Status"), "\"EFI_SUCCESS\"");
  EXPECT_EQ(JsonField(R.Out, "NumberRecoveryCapsules"), "1");
  EXPECT_EQ(JsonField(R.Out, "CapsuleType"),
            "\"F2155B20-B0D6-11DF-94E2-0800200C9A66\"");
  const uint64_t Size = std::stoull(JsonField(R.Out, "Size"));
  const std::vector<uint8_t> Loaded = e2e::ReadFile(Out);
  ASSERT_EQ(Loaded.size(), Size);
  EXPECT_EQ(Size % C.ClusterSize, 0u);

  // Partitioned volumes: ntfscat reads the volume copied out of the image.
  std::string Oracle = C.OracleImage, Inner = C.OraclePath;
  if (Inner.empty()) {
    Oracle = e2e::ScratchDir() + "/volume";
    const std::string Copy = "dd if='" + C.OracleImage + "' of='" + Oracle +
                             "' bs=1M skip=1 count=16 conv=sparse status=none";
    ASSERT_EQ(std::system(Copy.c_str()), 0);
    Inner = "/EFI/Recovery/Capsule.bin";
  }
  const std::vector<uint8_t> Expected = e2e::NtfsCat(Oracle, Inner);
  ASSERT_FALSE(Expected.empty()) << "ntfscat found nothing at " << Inner;
  ASSERT_GE(Size, Expected.size());
  EXPECT_LT(Size - Expected.size(), C.ClusterSize);
  EXPECT_TRUE(std::equal(Expected.begin(), Expected.end(), Loaded.begin()))
      << "the loaded capsule differs from ntfscat's bytes";

  uint64_t ExtentBytes = 0;
  const std::string Extents = JsonField(R.Out, "Extents");
  for (size_t At = Extents.find("\"ByteLength\":"); At != std::string::npos;
       At = Extents.find("\"ByteLength\":", At + 1))
    ExtentBytes += std::stoull(Extents.substr(At + 13));
  EXPECT_EQ(ExtentBytes, Size);
}

INSTANTIATE_TEST_SUITE_P(RealMedia, RecoverLoads,
                         ::testing::Range<size_t>(0, LoadCases().size()),
                         [](const ::testing::TestParamInfo<size_t> &I) {
                           return std::string(LoadCases()[I.param].Name);
                         });

// Recoveries that must fail: the failing call and its status on stderr,
// nothing written to --out.
struct FailCase {
  const char *Name;
  std::vector<std::string> DiskArgs;
  const char *Path;
  const char *Line;  // expected part of the one stderr line
};

const char *const kNotPlain =
    "GetRecoveryCapsuleInfo returned EFI_DEVICE_ERROR: the file exists but is "
    "a directory or not stored as plain data";

std::vector<FailCase> FailCases() {
  using e2e::NtfsMedia;
  using e2e::PartitionMedia;
  const std::string Many = NtfsMedia("ntfs-4k.img");
  return {
      // The module's refusal, and why as the tool finds it out.
      {"SparseFile", {"--disk", Many}, "Sparse.bin", kNotPlain},
      {"CompressedFile", {"--disk", Many}, "Comp\\Packed.bin", kNotPlain},
      {"AttributeList", {"--disk", Many}, "AttrList.bin", kNotPlain},
      {"TooManyRuns", {"--disk", NtfsMedia("ntfs-512.img")}, "FragMany.bin",
       kNotPlain},
      {"LastComponentIsDirectory", {"--disk", Many}, "Dir1\\Dir2", kNotPlain},
      {"MissingComponent",
       {"--disk", Many},
       "Dir1\\Dir2\\Nope\\Dir4\\Dir5\\Deep.bin",
       "GetRecoveryCapsuleInfo returned EFI_DEVICE_ERROR: a path component "
       "not found: 'Nope' is not in \\Dir1\\Dir2\\"},
      {"MissingAmongManyEntries",
       {"--disk", Many},
       "Many\\recovery_candidate_entry_2000.bin",
       "a path component not found: 'recovery_candidate_entry_2000.bin' is "
       "not in \\Many\\"},
      {"TwoVolumes",
       {"--disk", PartitionMedia("whole.img"), "--disk",
        PartitionMedia("gpt1.img")},
       "recovery.cap",
       "2 NTFS volumes found, so the firmware offers no capsule"},
      {"TwoVolumesOneLate",
       {"--disk", PartitionMedia("whole.img"), "--late-disk",
        PartitionMedia("mbr7.img")},
       "recovery.cap",
       "2 NTFS volumes found"},
      {"NoVolume",
       {"--disk", e2e::E2eMedia("blank.img")},
       "recovery.cap",
       "no NTFS volume found"},
      // The probe looks at the first basic data partition only, which holds
      // FAT.
      {"GptFatBeforeNtfs",
       {"--disk", PartitionMedia("gpt-fat-first.img")},
       "recovery.cap",
       "no NTFS volume found"},
      {"ElToritoCd",
       {"--disk", PartitionMedia("cd.iso")},
       "recovery.cap",
       "no NTFS volume found"},
  };
}

class RecoverFails : public ::testing::TestWithParam<size_t> {};

TEST_P(RecoverFails, ReportsTheCallAndWritesNothing) {
  const FailCase C = FailCases()[GetParam()];
  const std::string Out = e2e::ScratchDir() + "/capsule";
  std::vector<std::string> Args = {"recover"};
  Args.insert(Args.end(), C.DiskArgs.begin(), C.DiskArgs.end());
  Args.insert(Args.end(), {"--path", C.Path, "--out", Out, "--json"});
  const e2e::ToolRun R = RunTool("ntfs-recovery", Args);
  EXPECT_EQ(R.Exit, 1) << R.Err;
  EXPECT_NE(R.Err.find(C.Line), std::string::npos) << R.Err;
  EXPECT_EQ(std::count(R.Err.begin(), R.Err.end(), '\n'), 1) << R.Err;
  EXPECT_FALSE(e2e::Exists(Out));
  EXPECT_EQ(JsonField(R.Out, "Size"), "null");
}

INSTANTIATE_TEST_SUITE_P(RealMedia, RecoverFails,
                         ::testing::Range<size_t>(0, FailCases().size()),
                         [](const ::testing::TestParamInfo<size_t> &I) {
                           return std::string(FailCases()[I.param].Name);
                         });

// The notify path rebuilds the tables: a disk installed after the entry
// point leaves exactly the tables of the same disk installed before it.
TEST(Probe, LateDiskGivesTheSameTablesAsAnEarlyOne) {
  for (const char *Medium : {"gpt3.img", "mbr-fat32-7.img", "cd.iso"}) {
    const std::string Disk = e2e::PartitionMedia(Medium),
                      Other = e2e::PartitionMedia("whole.img");
    const e2e::ToolRun Early = RunTool(
        "ntfs-recovery", {"probe", "--disk", Other, "--disk", Disk, "--json"});
    const e2e::ToolRun Late =
        RunTool("ntfs-recovery",
                {"probe", "--disk", Other, "--late-disk", Disk, "--json"});
    ASSERT_EQ(Early.Exit, 0) << Early.Err;
    ASSERT_EQ(Late.Exit, 0) << Late.Err;
    EXPECT_EQ(Early.Out, Late.Out) << Medium;
    EXPECT_NE(JsonField(Early.Out, "BlockDeviceCount"), "1") << Medium;
  }
}

TEST(Probe, ReportsTheModulesTables) {
  const e2e::ToolRun R = RunTool(
      "ntfs-recovery",
      {"probe", "--disk", e2e::PartitionMedia("mbr-fat32-7.img"), "--json"});
  ASSERT_EQ(R.Exit, 0) << R.Err;
  // The disk, then its two MBR partitions; the disk's probe already finds
  // the NTFS partition through its table, so one volume and one capsule.
  EXPECT_EQ(JsonField(R.Out, "BlockDeviceCount"), "3");
  EXPECT_EQ(JsonField(R.Out, "VolumeCount"), "1");
  EXPECT_EQ(JsonField(R.Out, "NumberRecoveryCapsules"), "1");
  EXPECT_NE(R.Out.find("\"IsPartition\":true"), std::string::npos);
  const e2e::ToolRun Text =
      RunTool("ntfs-recovery",
              {"probe", "--disk", e2e::PartitionMedia("mbr-fat32-7.img")});
  ASSERT_EQ(Text.Exit, 0);
  EXPECT_NE(Text.Out.find("NumberRecoveryCapsules: 1"), std::string::npos)
      << Text.Out;
}

// Bad input: a clear message and a non-zero exit, before anything runs.
TEST(Tools, RefuseBadInput) {
  const std::string Dir = e2e::ScratchDir();
  std::ofstream(Dir + "/odd.img") << std::string(1000, 'x');
  std::ofstream(Dir + "/text.efi") << "not a PE file";
  struct {
    const char *Tool;
    std::vector<std::string> Args;
    std::string Environment;
    const char *Message;
  } Cases[] = {
      {"ntfs-recovery",
       {"probe", "--disk", Dir + "/missing.img"},
       "",
       "cannot open the disk image"},
      {"ntfs-recovery",
       {"probe", "--disk", Dir + "/odd.img"},
       "",
       "not a multiple of its block size"},
      {"ntfs-recovery", {"probe"}, "", "at least one disk image"},
      {"ntfs-recovery",
       {"recover", "--disk", e2e::E2eMedia("blank.img"), "--out", Dir + "/o"},
       "",
       "--path"},
      {"ntfs-recovery",
       {"probe", "--disk", e2e::E2eMedia("blank.img")},
       "NTFS_RECOVERY_PEI_IMAGE=" + Dir + "/text.efi",
       "not a PE file"},
      {"ntfs-recovery",
       {"probe", "--disk", e2e::E2eMedia("blank.img")},
       "NTFS_RECOVERY_PEI_IMAGE=" +
           e2e::BuildPath("firmware/RecordPublisherDxe.efi"),
       "not an IA32"},
      {"record-publisher",
       {"run", "--image", Dir + "/text.efi"},
       "",
       "not a PE file"},
      {"record-publisher",
       {"run", "--image", Dir + "/missing.efi"},
       "",
       "cannot open"},
      {"record-publisher", {"run", "--hob-flag", "300"}, "", "not a byte"},
      {"record-publisher",
       {"run", "--hob-flag", "1", "--no-hob"},
       "",
       "excludes"},
  };
  for (const auto &C : Cases) {
    const e2e::ToolRun R = RunTool(C.Tool, C.Args, C.Environment);
    EXPECT_NE(R.Exit, 0) << C.Message;
    EXPECT_NE(R.Exit, 3) << "a guest fault for bad input: " << R.Err;
    EXPECT_NE(R.Err.find(C.Message), std::string::npos) << R.Err;
  }
}

// A fault of the image is the image's defect: exit status 3 and a message
// that names the address and what was running.
TEST(Tools, ReportGuestFaults) {
  const std::string Dir = e2e::ScratchDir();
  const std::vector<uint8_t> NullWrite = {0xC7, 0x05, 0, 0, 0,   0,
                                          1,    0,    0, 0, 0xC3};
  for (bool X64 : {false, true}) {
    const std::vector<uint8_t> Bytes = e2e::TinyPe(X64, NullWrite);
    std::ofstream(Dir + (X64 ? "/x64.efi" : "/ia32.efi"), std::ios::binary)
        .write(reinterpret_cast<const char *>(Bytes.data()),
               static_cast<std::streamsize>(Bytes.size()));
  }
  const e2e::ToolRun Pei =
      RunTool("ntfs-recovery", {"probe", "--disk", e2e::E2eMedia("blank.img")},
              "NTFS_RECOVERY_PEI_IMAGE=" + Dir + "/ia32.efi");
  EXPECT_EQ(Pei.Exit, 3);
  EXPECT_NE(
      Pei.Err.find(
          "write to unmapped memory at 0x0 (4 bytes) by the instruction at "
          "NtfsRecoveryPei.efi+0x1000"),
      std::string::npos)
      << Pei.Err;
  EXPECT_NE(Pei.Err.find("while running RecoveryModuleEntry"),
            std::string::npos)
      << Pei.Err;
  const e2e::ToolRun Dxe =
      RunTool("record-publisher", {"run", "--image", Dir + "/x64.efi"});
  EXPECT_EQ(Dxe.Exit, 3);
  EXPECT_NE(Dxe.Err.find("while running DriverEntry"), std::string::npos)
      << Dxe.Err;
}

// An --out that cannot be opened for writing is reported and left as it
// was: the tool removes only a file it has begun to write itself.
TEST(Tools, LeaveAnOutPathTheyCannotWrite) {
  const std::string Out = e2e::ScratchDir() + "/existing-directory";
  ASSERT_EQ(std::system(("mkdir -p '" + Out + "'").c_str()), 0);
  const e2e::ToolRun R =
      RunTool("ntfs-recovery", {"recover", "--disk",
                                e2e::PartitionMedia("whole.img"), "--path",
                                "recovery.cap", "--out", Out});
  EXPECT_EQ(R.Exit, 2) << R.Err;
  EXPECT_NE(R.Err.find(Out + ": cannot"), std::string::npos) << R.Err;
  EXPECT_TRUE(e2e::Exists(Out)) << "the tool removed " << Out;
}

TEST(Tools, HelpOnEverySubcommand) {
  for (const auto &Args : std::vector<std::vector<std::string>>{
           {"ntfs-recovery", "probe", "--help"},
           {"ntfs-recovery", "recover", "--help"},
           {"record-publisher", "run", "--help"}}) {
    const e2e::ToolRun R = RunTool(Args[0], {Args[1], Args[2]});
    EXPECT_EQ(R.Exit, 0);
    EXPECT_NE(R.Out.find("--json"), std::string::npos) << R.Out;
  }
}

// record-publisher on the shipped image and on the other-settings images.
TEST(RecordPublisher, RunsEveryBuild) {
  const std::string Shipped = e2e::BuildPath("firmware/RecordPublisherDxe.efi");
  const std::string Flag =
      e2e::BuildPath("firmware/RecordPublisherDxe-BuildOptionFlag.efi");
  const std::string Gate =
      e2e::BuildPath("firmware/RecordPublisherDxe-RequiredRevision-2.70.efi");
  const std::string Zero = "\"000000000000000000000000\"";
  struct {
    std::string Image;
    std::vector<std::string> Args;
    const char *Status;
    std::string Record;
  } Cases[] = {
      {Shipped, {}, "EFI_SUCCESS", Zero},
      {Shipped, {"--hob-flag", "0x80"}, "EFI_SUCCESS", Zero},
      {Shipped, {"--no-hob"}, "EFI_NOT_FOUND", "null"},
      {Shipped, {"--revision", "1.0"}, "EFI_SUCCESS", Zero},
      {Shipped,
       {"--duplicate-install"},
       "EFI_SUCCESS",
       "\"eeeeeeeeeeeeeeeeeeeeeeee\""},
      {Flag,
       {"--hob-flag", "0x80"},
       "EFI_SUCCESS",
       "\"000100000000000000000000\""},
      {Flag, {"--hob-flag", "0"}, "EFI_SUCCESS", Zero},
      {Flag, {"--no-hob"}, "EFI_NOT_FOUND", "null"},
      {Gate, {"--revision", "2.70"}, "EFI_SUCCESS", Zero},
      {Gate, {"--revision", "0x20045"}, "EFI_INCOMPATIBLE_VERSION", "null"},
  };
  for (const auto &C : Cases) {
    std::vector<std::string> Args = {"run", "--image", C.Image, "--json"};
    Args.insert(Args.end(), C.Args.begin(), C.Args.end());
    const e2e::ToolRun R = RunTool("record-publisher", Args);
    const std::string Where = C.Image + " " + (C.Args.empty() ? "" : C.Args[0]);
    EXPECT_EQ(R.Exit, std::string(C.Status) == "EFI_SUCCESS" ? 0 : 1)
        << Where << R.Err;
    EXPECT_EQ(JsonField(R.Out, "Status"), "\"" + std::string(C.Status) + "\"")
        << Where;
    EXPECT_EQ(JsonField(R.Out, "Record"), C.Record) << Where;
  }
}

}  // namespace
