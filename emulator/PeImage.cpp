// PE32/PE32+ reader and relocating loader; see PeImage.h.
#include "emulator/PeImage.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace emulator {
namespace {

// True when Size bytes at Offset lie inside Length bytes, without overflow.
bool Fits(uint64_t Length, uint64_t Offset, uint64_t Size) {
  return Size <= Length && Offset <= Length - Size;
}

uint16_t Le16(const std::vector<uint8_t> &B, uint64_t Off) {
  return static_cast<uint16_t>(B[Off] | (B[Off + 1] << 8));
}
uint32_t Le32(const std::vector<uint8_t> &B, uint64_t Off) {
  return static_cast<uint32_t>(B[Off]) |
         (static_cast<uint32_t>(B[Off + 1]) << 8) |
         (static_cast<uint32_t>(B[Off + 2]) << 16) |
         (static_cast<uint32_t>(B[Off + 3]) << 24);
}
uint64_t Le64(const std::vector<uint8_t> &B, uint64_t Off) {
  return Le32(B, Off) | (static_cast<uint64_t>(Le32(B, Off + 4)) << 32);
}

bool Fail(std::string *Error, const std::string &Text) {
  *Error = Text;
  return false;
}

}  // namespace

// May receive untrusted input: every header field is range-checked before use.
bool ParsePeImage(std::vector<uint8_t> File, PeImage *Image,
                  std::string *Error) {
  *Image = PeImage();
  const uint64_t N = File.size();
  if (!Fits(N, 0, 0x40) || File[0] != 'M' || File[1] != 'Z')
    return Fail(Error, "not a PE file: no MZ header");
  const uint32_t PeOff = Le32(File, 0x3C);
  if (!Fits(N, PeOff, 24) || std::memcmp(&File[PeOff], "PE\0\0", 4) != 0)
    return Fail(Error, "not a PE file: no PE signature");
  const uint64_t Coff = PeOff + 4ull;
  Image->Machine = Le16(File, Coff);
  const uint16_t SectionCount = Le16(File, Coff + 2);
  const uint16_t OptSize = Le16(File, Coff + 16);
  Image->Characteristics = Le16(File, Coff + 18);
  const uint64_t Opt = Coff + 20;
  if (!Fits(N, Opt, OptSize) || OptSize < 2)
    return Fail(Error, "PE optional header lies outside the file");
  const uint16_t Magic = Le16(File, Opt);
  if (Magic == 0x10B) {
    Image->Pe32Plus = false;
  } else if (Magic == 0x20B) {
    Image->Pe32Plus = true;
  } else {
    return Fail(Error, "PE optional header has an unknown magic");
  }
  const uint32_t DirBase = Image->Pe32Plus ? 112 : 96;
  if (OptSize < DirBase) return Fail(Error, "PE optional header is too short");
  Image->EntryPoint = Le32(File, Opt + 16);
  Image->PreferredBase =
      Image->Pe32Plus ? Le64(File, Opt + 24) : Le32(File, Opt + 28);
  Image->SectionAlignment = Le32(File, Opt + 32);
  Image->SizeOfImage = Le32(File, Opt + 56);
  Image->SizeOfHeaders = Le32(File, Opt + 60);
  Image->Subsystem = Le16(File, Opt + 68);
  const uint32_t DirCount = Le32(File, Opt + DirBase - 4);
  if (DirCount > 5 && Fits(OptSize, DirBase + 5 * 8ull, 8)) {
    Image->RelocRva = Le32(File, Opt + DirBase + 40);
    Image->RelocSize = Le32(File, Opt + DirBase + 44);
  }
  if (Image->Machine == kMachineI386 && Image->Pe32Plus)
    return Fail(Error, "PE image claims I386 with a PE32+ header");
  if (Image->Machine == kMachineAmd64 && !Image->Pe32Plus)
    return Fail(Error, "PE image claims AMD64 with a PE32 header");
  if (Image->Machine != kMachineI386 && Image->Machine != kMachineAmd64)
    return Fail(Error, "PE image is for a machine other than IA32 or X64");
  if (Image->SizeOfImage == 0 || Image->SizeOfImage > (256u << 20))
    return Fail(Error, "PE image size is zero or above 256 MiB");
  if (Image->SizeOfHeaders > Image->SizeOfImage)
    return Fail(Error, "PE headers are larger than the image");
  if (Image->EntryPoint == 0 || Image->EntryPoint >= Image->SizeOfImage)
    return Fail(Error, "PE entry point lies outside the image");
  if (!Fits(Image->SizeOfImage, Image->RelocRva, Image->RelocSize))
    return Fail(Error, "PE relocation directory lies outside the image");

  const uint64_t SecTable = Opt + OptSize;
  if (!Fits(N, SecTable, SectionCount * 40ull))
    return Fail(Error, "PE section table lies outside the file");
  for (uint16_t I = 0; I < SectionCount; ++I) {
    const uint64_t H = SecTable + I * 40ull;
    PeSection S;
    S.Name.assign(reinterpret_cast<const char *>(&File[H]),
                  strnlen(reinterpret_cast<const char *>(&File[H]), 8));
    S.VirtualSize = Le32(File, H + 8);
    S.VirtualAddress = Le32(File, H + 12);
    S.RawSize = Le32(File, H + 16);
    S.RawOffset = Le32(File, H + 20);
    S.Characteristics = Le32(File, H + 36);
    if (S.VirtualSize == 0) S.VirtualSize = S.RawSize;
    if (S.RawSize > S.VirtualSize) S.RawSize = S.VirtualSize;
    if (!Fits(Image->SizeOfImage, S.VirtualAddress, S.VirtualSize))
      return Fail(Error, "PE section " + S.Name + " lies outside the image");
    if (S.VirtualAddress < Image->SizeOfHeaders)
      return Fail(Error, "PE section " + S.Name + " overlaps the headers");
    if (S.RawSize != 0 && !Fits(N, S.RawOffset, S.RawSize))
      return Fail(Error, "PE section " + S.Name + " has data outside the file");
    for (const PeSection &Other : Image->Sections) {
      if (S.VirtualAddress <
              Other.VirtualAddress + uint64_t{Other.VirtualSize} &&
          Other.VirtualAddress < S.VirtualAddress + uint64_t{S.VirtualSize})
        return Fail(
            Error, "PE sections " + Other.Name + " and " + S.Name + " overlap");
    }
    Image->Sections.push_back(S);
  }
  Image->File = std::move(File);
  return true;
}

bool LoadPeFile(const std::string &Path, PeImage *Image, std::string *Error) {
  std::ifstream In(Path, std::ios::binary);
  if (!In) return Fail(Error, Path + ": cannot open the image file");
  std::vector<uint8_t> Bytes((std::istreambuf_iterator<char>(In)),
                             std::istreambuf_iterator<char>());
  if (In.bad()) return Fail(Error, Path + ": cannot read the image file");
  if (!ParsePeImage(std::move(Bytes), Image, Error)) {
    *Error = Path + ": " + *Error;
    return false;
  }
  return true;
}

// May receive untrusted input: relocation blocks come from the file.
bool BuildMemoryImage(const PeImage &Image, uint64_t Base,
                      std::vector<uint8_t> *Memory, std::string *Error) {
  std::vector<uint8_t> &M = *Memory;
  M.assign(Image.SizeOfImage, 0);
  const uint64_t HeaderBytes =
      std::min<uint64_t>(Image.SizeOfHeaders, Image.File.size());
  std::memcpy(M.data(), Image.File.data(), HeaderBytes);
  for (const PeSection &S : Image.Sections) {
    if (S.RawSize != 0)
      std::memcpy(&M[S.VirtualAddress], &Image.File[S.RawOffset], S.RawSize);
  }
  const uint64_t Delta = Base - Image.PreferredBase;
  uint64_t Off = Image.RelocRva;
  const uint64_t End = uint64_t{Image.RelocRva} + Image.RelocSize;
  while (Off + 8 <= End) {
    const uint32_t Page = Le32(M, Off);
    const uint32_t BlockSize = Le32(M, Off + 4);
    if (BlockSize < 8 || !Fits(End, Off, BlockSize))
      return Fail(Error, "PE relocation block has a bad size");
    for (uint64_t E = Off + 8; E + 2 <= Off + BlockSize; E += 2) {
      const uint16_t Entry = Le16(M, E);
      const uint32_t Type = Entry >> 12;
      const uint64_t Target = uint64_t{Page} + (Entry & 0xFFF);
      if (Type == 0) continue;  // padding
      if (Type == 3) {          // HIGHLOW: a 32-bit address
        if (!Fits(M.size(), Target, 4))
          return Fail(Error, "PE relocation points outside the image");
        const uint32_t V = Le32(M, Target) + static_cast<uint32_t>(Delta);
        for (int I = 0; I < 4; ++I)
          M[Target + I] = static_cast<uint8_t>(V >> (8 * I));
      } else if (Type == 10) {  // DIR64: a 64-bit address
        if (!Fits(M.size(), Target, 8))
          return Fail(Error, "PE relocation points outside the image");
        const uint64_t V = Le64(M, Target) + Delta;
        for (int I = 0; I < 8; ++I)
          M[Target + I] = static_cast<uint8_t>(V >> (8 * I));
      } else {
        return Fail(
            Error, "PE relocation of unsupported type " + std::to_string(Type));
      }
    }
    Off += BlockSize;
  }
  // An image without relocations can still move when nothing in it is an
  // absolute address; the linker says otherwise by marking them stripped.
  if (Delta != 0 && Image.RelocSize == 0 &&
      (Image.Characteristics & 0x0001) != 0)
    return Fail(
        Error,
        "PE image has its base relocations stripped and cannot be moved");
  return true;
}

}  // namespace emulator
