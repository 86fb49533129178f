// MFT records: the update sequence repair and the attribute search, on
// hand-made records.
#include <gtest/gtest.h>

#include "ntfs_recovery_pei/ntfs/Ntfs.h"
#include "tests/ntfs/NtfsTestSupport.h"

namespace {

using namespace NtfsTest;

TEST(FixupFileRecordTest, RepairsOnlyTheRecordsTwoSectors) {
  struct Case {
    uint16_t Count;
    bool Sector0Repaired;
    bool Sector1Repaired;
  } Cases[] = {{0, false, false}, {1, false, false}, {2, true, false},
               {3, true, true},   {5, true, true},   {0xFFFF, true, true}};
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Count);
    Bytes R = FileRecord({});  // sector ends hold 7, the array 0 and 0
    R[510] = 7; R[1022] = 7;
    Put16(R, 0x32, 0x1111);
    Put16(R, 0x34, 0x2222);
    Put16(R, 0x06, C.Count);
    FixupFileRecord(R.data());
    EXPECT_EQ(Get16(R, 510), C.Sector0Repaired ? 0x1111 : 7);
    EXPECT_EQ(Get16(R, 1022), C.Sector1Repaired ? 0x2222 : 7);
  }
}

TEST(FixupFileRecordTest, LeavesATornSectorAsRead) {
  Bytes R = FileRecord({});
  Put16(R, 1022, 0x0BAD);  // not the update sequence number 7
  Put16(R, 0x34, 0x2222);
  FixupFileRecord(R.data());
  EXPECT_EQ(Get16(R, 1022), 0x0BAD);
}

Bytes Named(uint32_t Type, const std::u16string &Name) {
  return ResidentAttribute(Type, Bytes(8, 0xEE), Name);
}

TEST(FindAttributeTest, FirstOfTheTypeBelowBytesInUse) {
  Bytes R = FileRecord({Named(0x10, u""), Named(0x80, u"ads"), Named(0x80, u"")});
  EXPECT_EQ(FindAttribute(R.data(), 0x10), 0x38);
  EXPECT_EQ(FindAttribute(R.data(), 0x80), 0x38 + 0x20);  // the named one first
  EXPECT_EQ(FindAttribute(R.data(), 0x90), 0);
}

TEST(FindAttributeTest, DamagedRecordsYieldZero) {
  struct Case {
    const char *Name;
    void (*Damage)(Bytes &R);
  } Cases[] = {
      {"no FILE", [](Bytes &R) { R[0] = 'B'; }},
      {"type at bytes in use", [](Bytes &R) { Put32(R, 0x18, 0x38 + 0x20); }},
      {"first attribute at bytes in use", [](Bytes &R) { Put16(R, 0x14, 0x80); Put32(R, 0x18, 0x80); }},
      {"zero length", [](Bytes &R) { Put32(R, 0x38 + 4, 0); }},
      {"length past the record", [](Bytes &R) { Put32(R, 0x38 + 4, 0x7FFFFFFF); }},
      {"first attribute past the record", [](Bytes &R) { Put16(R, 0x14, 0xFFF8); Put32(R, 0x18, 0xFFFF); }},
      {"match longer than the record", [](Bytes &R) { Put32(R, 0x38 + 0x20 + 4, 0x1000); }},
      {"match shorter than a header", [](Bytes &R) { Put32(R, 0x38 + 0x20 + 4, 0x10); }},
      {"end marker with a zero length", [](Bytes &R) {
         Put32(R, 0x38 + 0x20, 0xFFFFFFFF); Put32(R, 0x38 + 0x24, 0); Put32(R, 0x18, 0x3F0); }},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    Bytes R = FileRecord({Named(0x10, u""), Named(0x80, u"")});
    C.Damage(R);
    EXPECT_EQ(FindAttribute(R.data(), 0x80), 0);
  }
}

TEST(FindAttributeTest, RunListPositionFollowsTheNameLength) {
  NonResidentLayout S;
  S.Type = 0xA0;
  S.Runs = {0x11, 0x01, 0x05, 0x00};
  S.Name = u"$I30";
  Bytes R = FileRecord({NonResidentAttribute(S), Named(0x90, u"ab")});
  uint16_t Allocation = FindAttribute(R.data(), 0xA0);
  ASSERT_EQ(Allocation, 0x38);
  EXPECT_EQ(AttributeRunListOffset(R.data(), Allocation), 0x38u + 0x48);
  uint16_t Root = FindAttribute(R.data(), 0x90);
  EXPECT_EQ(AttributeRunListOffset(R.data(), Root), Root + 0x18u + 4);
}

}  // namespace
