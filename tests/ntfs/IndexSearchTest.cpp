// The name comparison, the root node walk and the index record scan, on
// hand-made index entries and "INDX" records.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/pei/SimulatedPeiPlatform.h"
#include "ntfs_recovery_pei/ntfs/Ntfs.h"
#include "tests/ntfs/NtfsTestSupport.h"

namespace {

using namespace NtfsTest;

// The key form of a name: low byte, then zero.
Bytes Key(const std::u16string &Name) {
  Bytes K;
  for (char16_t C : Name) {
    K.push_back(static_cast<uint8_t>(C));
    K.push_back(static_cast<uint8_t>(C >> 8));
  }
  return K;
}

TEST(CompareIndexNameTest, OneByteFold) {
  struct Case {
    std::u16string Key, Name;
    uint8_t Result;
  } Cases[] = {
      {u"efi", u"EFI", 0}, {u"EFI", u"efi", 0}, {u"a1_z", u"A1_Z", 0},
      {u"\u0161", u"\u0141", 0},  // second bytes 0x01 equal, 0x61 folds to 0x41
      {u"\u00e9", u"\u00c9", 2},  // 0xE9 is not folded
      {u"efj", u"EFI", 2}, {u"", u"", 2},
  };
  for (const Case &C : Cases) {
    Bytes K = Key(C.Key), N = Key(C.Name);
    uint16_t Length = static_cast<uint16_t>(K.size());
    EXPECT_EQ(CompareIndexName(&Length, K.data(), N.data()), C.Result);
  }
}

uint64_t RootSearch(const Bytes &Value, const std::u16string &Name) {
  Bytes K = Key(Name);
  uint16_t Length = static_cast<uint16_t>(K.size());
  return IndexRootSearch(Value.data(), static_cast<UINT32>(Value.size()), K.data(), &Length);
}

TEST(IndexRootSearchTest, Cases) {
  Bytes Value = IndexRootValue(Entries({
      IndexEntry(0x500000123ull, u"Alpha"), IndexEntry(256, u"Beta"),
      IndexEntry(0x44, u"alpha"), IndexEntry(0, u"$MFT"), IndexEntry(0x55, u"Gamma"),
      EndEntry()}));
  EXPECT_EQ(RootSearch(Value, u"ALPHA"), 0x500000123ull);  // first of two equal names
  EXPECT_EQ(RootSearch(Value, u"beta"), 256u);
  EXPECT_EQ(RootSearch(Value, u"Alph"), 0u);
  EXPECT_EQ(RootSearch(Value, u"Gamma"), 0u);  // behind a record number 0
  EXPECT_EQ(RootSearch(Value, u""), 0u);
  EXPECT_EQ(RootSearch(IndexRootValue(EndEntry()), u"x"), 0u);
}

TEST(IndexRootSearchTest, BoundsAndDamage) {
  Bytes A = IndexEntry(0x10, u"A"), B = IndexEntry(0x11, u"B");
  struct Case {
    const char *Name;
    uint32_t Allocated;  // 0: as built
    void (*Damage)(Bytes &V);
    uint64_t Result;
  } Cases[] = {
      {"entry at the bound", 0x58, nullptr, 0x11},
      {"entry past the bound", 0x57, nullptr, 0},
      {"zero entry length", 0, [](Bytes &V) { Put16(V, 0x20 + 8, 0); }, 0},
      {"entry beyond the value", 0x7FFFFFFF, [](Bytes &V) { V.resize(0x20 + 0x58 + 0x20); }, 0},
      {"name beyond the value", 0, [](Bytes &V) { V.resize(0x20 + 0x58 + 0x52); }, 0},
      {"huge lengths", 0xFFFFFFFF, [](Bytes &V) { Put16(V, 0x20 + 8, 0xFFF8); }, 0},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    Bytes V = IndexRootValue(Entries({A, B, EndEntry()}), C.Allocated);
    if (C.Damage) C.Damage(V);
    EXPECT_EQ(RootSearch(V, u"b"), C.Result);
  }
}

// A device of index records (512-byte blocks) behind a simulated platform,
// whose context the scan reads through.
class IndexAllocationSearchTest : public ::testing::Test {
 protected:
  uint64_t Search(const Bytes &Disk, const std::vector<std::pair<uint64_t, uint64_t>> &Runs,
                  const std::u16string &Name, uint64_t FailRead = 0) {
    HostPei::SimulatedPeiPlatform Platform;
    Platform.AddBlockIoPpi({HostPlatform::BlockDevice::FromBytes(Disk)});
    EXPECT_EQ(Platform.RunEntryPoint(), EFI_SUCCESS);
    uint64_t Starts[32] = {}, Lengths[32] = {};
    for (size_t K = 0; K < Runs.size(); ++K) {
      Starts[K] = Runs[K].first;
      Lengths[K] = Runs[K].second;
    }
    uint32_t Count = static_cast<uint32_t>(Runs.size());
    Bytes K = Key(Name);
    uint16_t Length = static_cast<uint16_t>(K.size());
    uint64_t Before = Platform.Trace().ReadCount();
    if (FailRead) Platform.Trace().FailNthRead(Before + FailRead);
    uint64_t Result = IndexAllocationSearch(Lengths, Starts, Platform.Context(), 0,
                                            K.data(), &Length, &Count);
    Reads = Platform.Trace().ReadCount() - Before;
    return Result;
  }
  static void Place(Bytes &Disk, uint64_t Block, const Bytes &Record) {
    for (size_t I = 0; I < Record.size(); ++I) Disk.at(Block * 512 + I) = Record[I];
  }
  // Entries of Count names "nNNN" from record number First on.
  static Bytes Names(int Count, int First) {
    std::vector<Bytes> List;
    for (int I = 0; I < Count; ++I) {
      char Text[8];
      snprintf(Text, sizeof Text, "n%03d", First + I);
      List.push_back(IndexEntry(First + I, std::u16string(Text, Text + 4)));
    }
    return Entries(List);
  }
  uint64_t Reads = 0;
};

TEST_F(IndexAllocationSearchTest, ScansEveryRecordOfEveryRun) {
  Bytes Disk(512 * 128, 0);
  Place(Disk, 16, IndxRecord(Entries({Names(3, 1), EndEntry()})));
  Place(Disk, 24, IndxRecord(Entries({IndexEntry(0, u"$MFT"), Names(3, 4), EndEntry(),
                                      IndexEntry(99, u"stale")})));
  Place(Disk, 64, IndxRecord(Entries({Names(2, 7), EndEntry()})));
  Place(Disk, 96, IndxRecord(Entries({Names(2, 9), EndEntry()})));
  auto Runs = std::vector<std::pair<uint64_t, uint64_t>>{{16, 16}, {40, 0}, {64, 8}, {96, 8}};
  EXPECT_EQ(Search(Disk, Runs, u"N002"), 2u);
  EXPECT_EQ(Search(Disk, Runs, u"n005"), 5u);   // second record, after "$MFT"
  EXPECT_EQ(Search(Disk, Runs, u"n010"), 10u);  // a zero-length run skipped
  EXPECT_EQ(Search(Disk, Runs, u"$MFT"), 0u);
  EXPECT_EQ(Search(Disk, Runs, u"stale"), 0u);  // after an end entry
  EXPECT_EQ(Search(Disk, Runs, u""), 0u);
  EXPECT_EQ(Reads, 4u);
  EXPECT_EQ(Search(Disk, {}, u"n001"), 0u);
  EXPECT_EQ(Search(Disk, {{0, 8}}, u"n001"), 0u);
  EXPECT_EQ(Reads, 0u);
}

// Entries beyond the first 2048 bytes of a record: the window moves by
// four blocks, or by two when a name crosses its end, and every moved
// window gets its update sequence repair.
TEST_F(IndexAllocationSearchTest, MovesTheWindowThroughTheRecord) {
  // 0x60-byte entries (names of 4 characters) from record offset 0x40.
  Bytes Disk(512 * 64, 0);
  Place(Disk, 8, IndxRecord(Entries({Names(40, 100), EndEntry()})));
  for (int Name : {100, 120, 121, 122, 139}) {
    SCOPED_TRACE(Name);
    char Text[8];
    snprintf(Text, sizeof Text, "n%03d", Name);
    EXPECT_EQ(Search(Disk, {{8, 8}}, std::u16string(Text, Text + 4)),
              static_cast<uint64_t>(Name));
  }
  // Entry 20 begins at 0x40 + 20 x 0x60 = 0x7C0 and its name ends past
  // 2048: found after a two-block move.
  EXPECT_EQ(Search(Disk, {{8, 8}}, u"n120"), 120u);
  // An entry that starts exactly at 2048: 0x40 + 0x7C0 with 0x60 entries
  // would not land there, so use a first-entry offset that does.
  Bytes Aligned(512 * 64, 0);
  Place(Aligned, 8, IndxRecord(Entries({Names(21, 200), EndEntry()}), 8, 0x800 - 0x18 - 20 * 0x60));
  EXPECT_EQ(Search(Aligned, {{8, 8}}, u"n220"), 220u);
}

TEST_F(IndexAllocationSearchTest, RecordsOfTwoBlocks) {
  Bytes Disk(512 * 64, 0);
  Place(Disk, 8, IndxRecord(Entries({Names(2, 1), EndEntry()}), 2));
  Place(Disk, 10, IndxRecord(Entries({Names(2, 3), EndEntry()}), 2));
  EXPECT_EQ(Search(Disk, {{8, 4}}, u"n004"), 4u);
  EXPECT_EQ(Reads, 2u);
}

TEST_F(IndexAllocationSearchTest, DamagedRecordsEndTheScan) {
  struct Case {
    const char *Name;
    void (*Damage)(Bytes &R);
  } Cases[] = {
      {"no INDX", [](Bytes &R) { R[0] = 'X'; }},
      {"allocated size below one block", [](Bytes &R) { Put32(R, 0x20, 0x1E7); }},
      {"more than eight blocks", [](Bytes &R) { Put32(R, 0x20, 0x2000); }},
      {"update sequence count 10", [](Bytes &R) { Put16(R, 0x06, 10); }},
      {"zero entry length", [](Bytes &R) { Put16(R, 0x40 + 8, 0); }},
      // The end entry turned into an entry whose length leads exactly to
      // the first entry of the next record: the walk ends at the record's
      // end instead of going on there.
      {"no end entry", [](Bytes &R) {
         Put32(R, 0x40 + 0x60 * 3, 77); Put16(R, 0x40 + 0x60 * 3 + 8, 0x1040 - 0x160); }},
      {"first entry past the record", [](Bytes &R) { Put32(R, 0x18, 0xFFFFFFF0); }},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Name);
    Bytes Disk(512 * 64, 0);
    Bytes First = IndxRecord(Entries({Names(3, 1), EndEntry()}));
    C.Damage(First);
    Place(Disk, 8, First);
    Place(Disk, 16, IndxRecord(Entries({Names(3, 4), EndEntry()})));
    EXPECT_EQ(Search(Disk, {{8, 16}}, u"n005"), 0u);
  }
}

TEST_F(IndexAllocationSearchTest, TornAndRepairedBlocks) {
  // The last word of every block lies inside an entry: stored as the update
  // sequence number, put back by the repair before the names are compared.
  Bytes Disk(512 * 64, 0);
  Bytes Names10 = Names(10, 1);
  Place(Disk, 8, IndxRecord(Entries({Names10, EndEntry()})));
  EXPECT_EQ(Search(Disk, {{8, 8}}, u"n003"), 3u);
  for (int N = 1; N <= 10; ++N) {
    char Text[8];
    snprintf(Text, sizeof Text, "n%03d", N);
    EXPECT_EQ(Search(Disk, {{8, 8}}, std::u16string(Text, Text + 4)), static_cast<uint64_t>(N));
  }
  // A failed read ends the scan rather than reading stale bytes.
  EXPECT_EQ(Search(Disk, {{8, 8}}, u"n001", 1), 0u);
}

// Entries whose names cover the last word of a block (stored on disk as the
// update sequence number), in the first window and in windows reached by
// two- and four-block moves: each moved window is repaired with the saved
// words of the blocks it holds, taken again from the record's first blocks.
TEST_F(IndexAllocationSearchTest, NamesOverBlockEndsInMovedWindows) {
  // Entries at the given record offsets, the gaps filled with entries
  // named "-", then the end entry.
  auto Placed = [](const std::vector<std::pair<size_t, std::u16string>> &Targets) {
    Bytes Out;
    size_t At = 0x40;
    for (const auto &T : Targets) {
      if (T.first > At) {
        Bytes Filler = IndexEntry(0x99, u"-");
        Filler.resize(T.first - At, 0);
        Put16(Filler, 0x08, static_cast<uint16_t>(Filler.size()));
        Append(Out, Filler);
      }
      Bytes E = IndexEntry(0x100 + T.first / 256, T.second);
      Append(Out, E);
      At = T.first + E.size();
    }
    Append(Out, EndEntry());
    return Out;
  };
  // Eight-character names at 0x52 of an entry at 0x...A8 cover the block's
  // last word with their third character.
  Bytes Disk(512 * 64, 0);
  Place(Disk, 8, IndxRecord(Placed({{0x1A8, u"torn-b00"},    // first window
                                    {0x7A8, u"torn-b03"},    // ends past 2048: window at block 2
                                    {0xBA8, u"torn-b05"},    // again: window at block 4
                                    {0xDA8, u"torn-b06"}})));  // inside the window at block 4
  Place(Disk, 24, IndxRecord(Placed({{0x800, u"four"},       // at 2048: window at block 4
                                     {0x9A8, u"torn-b04"}})));
  const std::vector<std::pair<uint64_t, uint64_t>> Runs = {{8, 8}, {24, 8}};
  struct Case {
    const char16_t *Name;
    uint64_t Record;
    uint64_t Reads;  // one per record, two more per window move
  } Cases[] = {
      {u"torn-b00", 0x101, 1}, {u"TORN-B03", 0x107, 3}, {u"torn-b05", 0x10B, 5},
      {u"torn-b06", 0x10D, 5}, {u"four", 0x108, 5 + 3}, {u"torn-b04", 0x109, 5 + 3},
  };
  for (const Case &C : Cases) {
    std::u16string Name(C.Name);
    SCOPED_TRACE(std::string(Name.begin(), Name.end()));
    EXPECT_EQ(Search(Disk, Runs, Name), C.Record);
    EXPECT_EQ(Reads, C.Reads);
  }
}

}  // namespace
