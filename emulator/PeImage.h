// A small reader of PE32 and PE32+ images: headers, sections and base
// relocations, with every offset checked against the file. It reads only what
// the loader needs and refuses anything it cannot map soundly.
#ifndef EMULATOR_PE_IMAGE_H_
#define EMULATOR_PE_IMAGE_H_

#include <cstdint>
#include <string>
#include <vector>

namespace emulator {

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;

constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionRead = 0x40000000;
constexpr uint32_t kSectionWrite = 0x80000000;

struct PeSection {
  std::string Name;
  uint32_t VirtualAddress = 0;
  uint32_t VirtualSize = 0;  // bytes in memory (zero-filled past the data)
  uint32_t RawOffset = 0;
  uint32_t RawSize = 0;  // bytes of the file copied, at most VirtualSize
  uint32_t Characteristics = 0;
};

struct PeImage {
  uint16_t Machine = 0;
  bool Pe32Plus = false;
  uint16_t Subsystem = 0;
  uint16_t Characteristics = 0;  // COFF file characteristics
  uint64_t PreferredBase = 0;
  uint32_t SizeOfImage = 0;
  uint32_t SizeOfHeaders = 0;
  uint32_t EntryPoint = 0;  // RVA
  uint32_t SectionAlignment = 0;
  uint32_t RelocRva = 0;
  uint32_t RelocSize = 0;
  std::vector<PeSection> Sections;
  std::vector<uint8_t> File;  // the whole file as read
};

// Parses File (may receive untrusted input). On failure returns false and
// sets Error to a sentence that says what is wrong.
bool ParsePeImage(std::vector<uint8_t> File, PeImage *Image,
                  std::string *Error);

// Reads and parses the file at Path; errors name the path.
bool LoadPeFile(const std::string &Path, PeImage *Image, std::string *Error);

// Builds the memory image (SizeOfImage bytes: headers, sections, zero fill)
// and applies the base relocations for a load at Base. Fails on a relocation
// block or entry that leaves the image, or of a kind the loader does not know.
bool BuildMemoryImage(const PeImage &Image, uint64_t Base,
                      std::vector<uint8_t> *Memory, std::string *Error);

}  // namespace emulator

#endif  // EMULATOR_PE_IMAGE_H_
