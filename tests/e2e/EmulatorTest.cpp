// Tests of the emulator itself on hand-built images: loading, relocation,
// the EFIAPI argument reading of both conventions, and the faults that stop
// a run with a message naming the guest address and what was executing.
#include <gtest/gtest.h>

#include "emulator/Machine.h"
#include "emulator/PeImage.h"
#include "tests/e2e/TinyPe.h"

namespace {

using emulator::Arch;
using emulator::ArgType;
using emulator::GuestFault;
using emulator::Machine;
using emulator::PeImage;

PeImage Parse(std::vector<uint8_t> Bytes) {
  PeImage Image;
  std::string Error;
  EXPECT_TRUE(emulator::ParsePeImage(std::move(Bytes), &Image, &Error))
      << Error;
  return Image;
}

// Runs Code as the entry of a tiny image; returns the fault message, or ""
// when the call returned.
std::string FaultOf(Arch A, const std::vector<uint8_t> &Code) {
  Machine M(A);
  M.SetInstructionBudget(100000);
  const uint64_t Base = A == Arch::Ia32 ? 0x10000000 : 0x200000000ull;
  const uint64_t Entry =
      M.LoadImage(Parse(e2e::TinyPe(A == Arch::X64, Code)), Base, "tiny.efi");
  try {
    M.Call(Entry, {}, "TinyEntry");
  } catch (const GuestFault &F) {
    return F.what();
  }
  return "";
}

// Each fault names what happened, where, and the call that was running.
TEST(EmulatorFaults, StopTheRunWithAClearMessage) {
  struct {
    const char *Name;
    std::vector<uint8_t> Code;
    const char *Message;
  } Cases[] = {
      {"null write",
       {0xC7, 0x05, 0, 0, 0, 0, 1, 0, 0, 0, 0xC3},
       "write to unmapped memory at 0x0"},
      {"wild jump",
       {0xB8, 0x78, 0x56, 0x34, 0x12, 0xFF, 0xE0},
       "execution of unmapped memory at 0x12345678"},
      {"invalid instruction",
       {0x0F, 0x0B},
       "invalid instruction at tiny.efi+0x1000"},
      {"runaway", {0xEB, 0xFE}, "runaway: more than 100000 instructions"},
      {"breakpoint", {0xCC}, "CPU exception 3"},
      {"write to code",
       {0xC7, 0x05, 0x00, 0x10, 0x00, 0x10, 1, 0, 0, 0, 0xC3},
       "write to read-only memory at 0x10001000"},
      {"unbalanced return", {0x58, 0xC3}, "execution of unmapped memory"},
  };
  for (const auto &C : Cases) {
    const std::string Message = FaultOf(Arch::Ia32, C.Code);
    EXPECT_NE(Message.find(C.Message), std::string::npos)
        << C.Name << ": " << Message;
    EXPECT_NE(Message.find("while running TinyEntry"), std::string::npos)
        << C.Name << ": " << Message;
  }
  // X64: a pointer truncated to 32 bits lands in unmapped memory.
  const std::string Truncated =
      FaultOf(Arch::X64,
              {0x48, 0x8D, 0x05, 0xF9, 0x0F, 0x00, 0x00,  // lea rax,[rip+0xff9]
               0x89, 0xC0,                                // mov eax,eax
               0x8B, 0x00, 0xC3});                        // mov eax,[rax]
  EXPECT_NE(Truncated.find("read of unmapped memory at 0x2000"),
            std::string::npos)
      << Truncated;
}

// HIGHLOW and DIR64 relocations move the image's absolute addresses.
TEST(PeLoader, AppliesBaseRelocations) {
  // mov dword [0x2000], 0x55; mov eax, [0x2000]; ret
  const std::vector<uint8_t> Ia32 = {0xC7, 0x05, 0x00, 0x20, 0, 0, 0x55, 0, 0,
                                     0,    0xA1, 0x00, 0x20, 0, 0, 0xC3};
  Machine M32(Arch::Ia32);
  const uint64_t E32 = M32.LoadImage(Parse(e2e::TinyPe(false, Ia32, {2, 11})),
                                     0x10000000, "r32.efi");
  EXPECT_EQ(M32.Call(E32, {}, "r32"), 0x55u);
  // mov rax, 0x2000; mov qword [rax], 0x66; mov rax, [rax]; ret
  const std::vector<uint8_t> X64 = {0x48, 0xB8, 0x00, 0x20, 0,    0,    0,
                                    0,    0,    0,    0x48, 0xC7, 0x00, 0x66,
                                    0,    0,    0,    0x48, 0x8B, 0x00, 0xC3};
  Machine M64(Arch::X64);
  const uint64_t E64 = M64.LoadImage(Parse(e2e::TinyPe(true, X64, {2})),
                                     0x200000000ull, "r64.efi");
  EXPECT_EQ(M64.Call(E64, {}, "r64"), 0x66u);
}

TEST(PeLoader, RefusesWhatItCannotMap) {
  const std::vector<uint8_t> Good = e2e::TinyPe(false, {0xC3}, {2});
  struct {
    const char *Name;
    size_t Offset;
    std::vector<uint8_t> Bytes;
    const char *Message;
  } Cases[] = {
      {"no MZ", 0, {'X'}, "no MZ header"},
      {"e_lfanew past the end", 0x3C, {0xFF, 0xFF, 0, 0}, "no PE signature"},
      {"unknown magic", 0x58, {0x0B, 0x02}, "PE32+ header"},
      {"other machine", 0x44, {0xC4, 0x01}, "machine other than IA32 or X64"},
      {"section outside the image",
       0x138 + 12,
       {0x00, 0xF0, 0, 0},
       "lies outside the image"},
      {"section data outside the file",
       0x138 + 20,
       {0x00, 0xF0, 0, 0},
       "data outside the file"},
      {"relocation outside the image",
       0x400,
       {0xFF, 0x3F, 0, 0},
       "relocation points outside the image"},
      {"relocation block size 0",
       0x404,
       {0, 0, 0, 0},
       "relocation block has a bad size"},
  };
  for (const auto &C : Cases) {
    std::vector<uint8_t> Bytes = Good;
    std::copy(C.Bytes.begin(), C.Bytes.end(), Bytes.begin() + C.Offset);
    PeImage Image;
    std::string Error;
    bool Ok = emulator::ParsePeImage(Bytes, &Image, &Error);
    std::vector<uint8_t> Memory;
    if (Ok) Ok = emulator::BuildMemoryImage(Image, 0x10000000, &Memory, &Error);
    EXPECT_FALSE(Ok) << C.Name;
    EXPECT_NE(Error.find(C.Message), std::string::npos)
        << C.Name << ": " << Error;
  }
  PeImage Image;
  std::string Error;
  EXPECT_FALSE(emulator::ParsePeImage(
      std::vector<uint8_t>(Good.begin(), Good.begin() + 0x100), &Image,
      &Error));
}

// Services read each argument at its declared width whatever the rest of
// its slot holds: cdecl on IA32 (a 64-bit argument takes two slots), RCX,
// RDX, R8, R9 and the stack past the shadow space on X64.
TEST(Services, ReadArgumentsAtTheirDeclaredWidths) {
  std::vector<uint64_t> Seen;
  auto Record = [&Seen](Machine &, const std::vector<uint64_t> &V) -> uint64_t {
    Seen = V;
    return 0x1234;
  };
  {
    Machine M(Arch::Ia32);
    const uint64_t S = M.AddService(
        "Probe", {ArgType::U8, ArgType::U64, ArgType::U16, ArgType::Natural},
        Record);
    // push 0xAABBCCDD; push 0xFFFF0002; push 0x11111111; push 0x22222222;
    // push 0xFFFFFF07; mov eax, S; call eax; add esp, 20; ret
    std::vector<uint8_t> Code = {
        0x68, 0xDD, 0xCC, 0xBB, 0xAA, 0x68, 0x02, 0x00, 0xFF, 0xFF, 0x68, 0x11,
        0x11, 0x11, 0x11, 0x68, 0x22, 0x22, 0x22, 0x22, 0x68, 0x07, 0xFF, 0xFF,
        0xFF, 0xB8, 0,    0,    0,    0,    0xFF, 0xD0, 0x83, 0xC4, 0x14, 0xC3};
    std::memcpy(&Code[26], &S, 4);
    const uint64_t Entry =
        M.LoadImage(Parse(e2e::TinyPe(false, Code)), 0x10000000, "args.efi");
    EXPECT_EQ(M.Call(Entry, {}, "args"), 0x1234u);
    EXPECT_EQ(Seen,
              (std::vector<uint64_t>{7, 0x1111111122222222ull, 2, 0xAABBCCDD}));
  }
  {
    Machine M(Arch::X64);
    const uint64_t S =
        M.AddService("Probe",
                     {ArgType::U32, ArgType::U8, ArgType::Natural, ArgType::U16,
                      ArgType::U32},
                     Record);
    // sub rsp,0x38; mov rax,0xFFFFFFFF00000009; mov [rsp+0x20],rax;
    // mov rcx,0xDEADBEEF00000001; mov edx,0x1FF; mov r8,0x123456789; mov r9,-1;
    // mov rax,S; call rax; add rsp,0x38; ret
    std::vector<uint8_t> Code = {
        0x48, 0x83, 0xEC, 0x38, 0x48, 0xB8, 0x09, 0,    0,    0,    0xFF, 0xFF,
        0xFF, 0xFF, 0x48, 0x89, 0x44, 0x24, 0x20, 0x48, 0xB9, 0x01, 0,    0,
        0,    0xEF, 0xBE, 0xAD, 0xDE, 0xBA, 0xFF, 0x01, 0,    0,    0x49, 0xB8,
        0x89, 0x67, 0x45, 0x23, 0x01, 0,    0,    0,    0x49, 0xC7, 0xC1, 0xFF,
        0xFF, 0xFF, 0xFF, 0x48, 0xB8, 0,    0,    0,    0,    0,    0,    0,
        0,    0xFF, 0xD0, 0x48, 0x83, 0xC4, 0x38, 0xC3};
    std::memcpy(&Code[53], &S, 8);
    const uint64_t Entry = M.LoadImage(Parse(e2e::TinyPe(true, Code)),
                                       0x200000000ull, "args64.efi");
    EXPECT_EQ(M.Call(Entry, {}, "args64"), 0x1234u);
    EXPECT_EQ(Seen,
              (std::vector<uint64_t>{1, 0xFF, 0x123456789ull, 0xFFFF, 9}));
  }
}

// A request for more bytes than the allocation area holds is refused, even
// one so large that rounding it up to pages would wrap to a small size.
TEST(Allocation, RefusesSizesBeyondTheArea) {
  for (Arch A : {Arch::Ia32, Arch::X64}) {
    Machine M(A);
    for (uint64_t Size : {~uint64_t{0}, ~uint64_t{0} - 4094, uint64_t{1} << 62})
      EXPECT_EQ(M.MapFresh(Size, emulator::kProtRead, "huge"), 0u) << Size;
    EXPECT_NE(M.MapFresh(12, emulator::kProtRead, "small"), 0u);
  }
}

// Services reach image memory as the guest does: a range that crosses a
// page boundary is one range, and a write must lie in a writable section
// even where sections share a page.
TEST(ServiceAccess, ImageRangesFollowTheSections) {
  uint8_t Bytes[16] = {};
  {
    Machine M(Arch::Ia32);
    const uint64_t Base = 0x10000000;
    M.LoadImage(Parse(e2e::TinyPe(false, {0xC3})), Base, "tiny.efi");
    EXPECT_NO_THROW(M.Read(Base + 0xFF8, Bytes, 16, "a GUID across pages"));
    EXPECT_THROW(M.Write(Base + 0x1000, Bytes, 4, "into code"), GuestFault);
    EXPECT_NO_THROW(M.Write(Base + 0x2000, Bytes, 16, "into data"));
  }
  {
    // .data moved to RVA 0x1800, on the page of .text (section header 1's
    // VirtualAddress at 0x16C).
    std::vector<uint8_t> File = e2e::TinyPe(false, {0xC3});
    File[0x16C] = 0x00;
    File[0x16D] = 0x18;
    Machine M(Arch::Ia32);
    const uint64_t Base = 0x10000000;
    M.LoadImage(Parse(File), Base, "mixed.efi");
    EXPECT_THROW(M.Write(Base + 0x1100, Bytes, 4, "into code"), GuestFault);
    EXPECT_THROW(M.Write(Base + 0x17FC, Bytes, 8, "across into data"),
                 GuestFault);
    EXPECT_NO_THROW(M.Write(Base + 0x1800, Bytes, 16, "into data"));
    EXPECT_NO_THROW(M.Call(Base + 0x1000, {}, "mixed"));
  }
}

}  // namespace
