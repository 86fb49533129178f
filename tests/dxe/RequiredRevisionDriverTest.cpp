// RecordPublisherDxe built with RequiredUefiRevision 2.70: the revision gate.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/dxe/DriverFixture.h"

static_assert(RequiredUefiRevision == EFI_SPECIFICATION_REVISION(2, 70) &&
                  BuildOptionFlag == 0,
              "linked with the RequiredRevision-2.70 build");

struct RevisionCase {
  uint32_t Revision;
  bool PassesGate;
};

void PrintTo(const RevisionCase &Case, std::ostream *Out) {
  *Out << "revision 0x" << std::hex << Case.Revision;
}

class RequiredRevisionGate : public DriverTest,
                             public ::testing::WithParamInterface<RevisionCase> {};

TEST_P(RequiredRevisionGate, LetsThroughOnlyTheRequiredRevisionOrLater) {
  Dxe.SetHobList(ListWithRecordSource(0));
  Dxe.SetRevision(GetParam().Revision);

  const EFI_STATUS Status = RunEntry();

  if (GetParam().PassesGate) {
    EXPECT_EQ(Status, EFI_SUCCESS);
    EXPECT_EQ(DriverSystemTable, Dxe.SystemTable());
    EXPECT_EQ(InstalledRecord(), RecordWithFlag(0));
  } else {
    // Refused before the start-up step: nothing recorded, nothing called.
    EXPECT_EQ(Status, EFI_INCOMPATIBLE_VERSION);
    EXPECT_EQ(DriverImageHandle, nullptr);
    EXPECT_EQ(DriverSystemTable, nullptr);
    EXPECT_EQ(DriverBootServices, nullptr);
    EXPECT_EQ(DriverHobList, nullptr);
    EXPECT_TRUE(Dxe.Calls().empty());
    EXPECT_TRUE(InstalledRecord().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Revisions, RequiredRevisionGate,
    ::testing::Values(RevisionCase{EFI_SPECIFICATION_REVISION(2, 70), true},
                      RevisionCase{EFI_SPECIFICATION_REVISION(2, 70) - 1, false},
                      RevisionCase{EFI_SPECIFICATION_REVISION(2, 80), true},
                      RevisionCase{0, false},
                      // The comparison is unsigned: the top bit set is high.
                      RevisionCase{0x80000000u, true}),
    [](const ::testing::TestParamInfo<RevisionCase> &Info) {
      char Name[32];
      snprintf(Name, sizeof(Name), "Revision%08X", Info.param.Revision);
      return std::string(Name);
    });
