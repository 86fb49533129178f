// Hand-built PE images for the emulator's own tests: a code section, a data
// section and optionally base relocations, with every header field written
// out (the offsets are those of the PE/COFF format).
#ifndef TESTS_E2E_TINY_PE_H_
#define TESTS_E2E_TINY_PE_H_

#include <cstdint>
#include <cstring>
#include <vector>

namespace e2e {

// Code at RVA 0x1000 (the entry point, read+execute), 0x100 bytes of data
// at RVA 0x2000 (read+write, not in the file), and when Relocs is not empty
// a .reloc section at 0x3000 with one block for the code page holding one
// entry per offset (type 3 HIGHLOW for PE32, 10 DIR64 for PE32+). The
// preferred base is 0.
inline std::vector<uint8_t> TinyPe(bool Pe32Plus,
                                   const std::vector<uint8_t> &Code,
                                   const std::vector<uint16_t> &Relocs = {}) {
  std::vector<uint8_t> F(0x600, 0);
  auto U16 = [&](size_t Off, uint16_t V) { std::memcpy(&F[Off], &V, 2); };
  auto U32 = [&](size_t Off, uint32_t V) { std::memcpy(&F[Off], &V, 4); };
  F[0] = 'M';
  F[1] = 'Z';
  U32(0x3C, 0x40);  // e_lfanew
  std::memcpy(&F[0x40], "PE\0\0", 4);
  const size_t Coff = 0x44, Opt = Coff + 20;
  const uint16_t OptSize = Pe32Plus ? 240 : 224;
  U16(Coff, Pe32Plus ? 0x8664 : 0x014C);  // Machine
  U16(Coff + 2, Relocs.empty() ? 2 : 3);  // NumberOfSections
  U16(Coff + 16, OptSize);                // SizeOfOptionalHeader
  U16(Coff + 18, 0x2022);                 // executable, DLL
  U16(Opt, Pe32Plus ? 0x20B : 0x10B);     // Magic
  U32(Opt + 16, 0x1000);                  // AddressOfEntryPoint
  U32(Opt + 32, 0x1000);                  // SectionAlignment
  U32(Opt + 36, 0x200);                   // FileAlignment
  U32(Opt + 56, 0x4000);                  // SizeOfImage
  U32(Opt + 60, 0x200);                   // SizeOfHeaders
  U16(Opt + 68, 11);                      // Subsystem: boot service driver
  const size_t Dirs = Opt + (Pe32Plus ? 112 : 96);
  U32(Dirs - 4, 16);  // NumberOfRvaAndSizes
  if (!Relocs.empty()) {
    U32(Dirs + 5 * 8, 0x3000);  // base relocation directory
    U32(Dirs + 5 * 8 + 4, 8 + 2 * static_cast<uint32_t>(Relocs.size()));
  }
  size_t Sec = Opt + OptSize;
  auto Section = [&](const char *Name, uint32_t Va, uint32_t VSize,
                     uint32_t Raw, uint32_t RawSize, uint32_t Flags) {
    std::memcpy(&F[Sec], Name, std::strlen(Name));
    U32(Sec + 8, VSize);
    U32(Sec + 12, Va);
    U32(Sec + 16, RawSize);
    U32(Sec + 20, Raw);
    U32(Sec + 36, Flags);
    Sec += 40;
  };
  Section(".text", 0x1000, 0x200, 0x200, 0x200, 0x60000020);
  Section(".data", 0x2000, 0x100, 0, 0, 0xC0000040);
  std::memcpy(&F[0x200], Code.data(), Code.size());
  if (!Relocs.empty()) {
    Section(".reloc", 0x3000, 0x200, 0x400, 0x200, 0x42000040);
    U32(0x400, 0x1000);
    U32(0x404, 8 + 2 * static_cast<uint32_t>(Relocs.size()));
    for (size_t I = 0; I < Relocs.size(); ++I)
      U16(0x408 + 2 * I,
          static_cast<uint16_t>(((Pe32Plus ? 10 : 3) << 12) | Relocs[I]));
  }
  return F;
}

}  // namespace e2e

#endif  // TESTS_E2E_TINY_PE_H_
