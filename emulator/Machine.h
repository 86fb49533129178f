// One emulated x86 CPU (Unicorn) with the memory, trap thunks and call
// machinery that the PEI and DXE platforms share.
//
// Guest memory is always backed by host memory that this class owns, so the
// host reads and writes guest bytes directly and device reads land straight
// in guest buffers. Services offered to the image are trap thunks: slots on
// a page of their own whose execution the host intercepts; the host reads the
// arguments as EFIAPI passes them, does the work, sets the result register and
// returns to the caller. Calls into the image push a return address that
// ends the run; every run must end there.
#ifndef EMULATOR_MACHINE_H_
#define EMULATOR_MACHINE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "emulator/PeImage.h"

struct uc_struct;

namespace emulator {

// A defect of the guest: a fault, an invalid instruction, a runaway, a
// service called with arguments that point outside guest memory.
class GuestFault : public std::runtime_error {
 public:
  explicit GuestFault(const std::string &What) : std::runtime_error(What) {}
};

enum class Arch { Ia32, X64 };

// Declared width of an EFIAPI argument: the host reads an argument of this
// width and ignores whatever the rest of its slot holds. Natural is UINTN or
// a pointer (4 bytes on IA32, 8 on X64).
enum class ArgType : uint8_t { U8, U16, U32, U64, Natural };

constexpr uint32_t kProtRead = 1, kProtWrite = 2, kProtExec = 4;
constexpr uint64_t kPageSize = 4096;

inline uint64_t RoundUpToPage(uint64_t V) {
  return (V + kPageSize - 1) & ~(kPageSize - 1);
}

class Machine {
 public:
  using ServiceFn =
      std::function<uint64_t(Machine &, const std::vector<uint64_t> &)>;

  // Lays out the fixed regions of Arch: the thunk page, the platform data
  // region and the stack (below 4 GiB for IA32, above it for X64).
  explicit Machine(Arch A);
  ~Machine();
  Machine(const Machine &) = delete;
  Machine &operator=(const Machine &) = delete;

  Arch GetArch() const { return Arch_; }
  unsigned PointerSize() const { return Arch_ == Arch::Ia32 ? 4 : 8; }

  // Maps Size bytes (rounded up to pages) of zeroed host-backed memory at
  // Address; returns the host pointer. Throws std::runtime_error on overlap.
  uint8_t *Map(uint64_t Address, uint64_t Size, uint32_t Prot,
               const std::string &Name);
  // Maps Size bytes at the next free address of the allocation area with an
  // unmapped guard page after it; returns the guest address.
  uint64_t MapFresh(uint64_t Size, uint32_t Prot, const std::string &Name);

  // Host pointer to Size bytes at Address when all lie in one mapping that
  // allows Prot (in the loaded image: in one section that allows a write or
  // execution); nullptr otherwise.
  uint8_t *HostPointer(uint64_t Address, uint64_t Size,
                       uint32_t Prot = kProtRead) const;
  // Guest memory access for services; a range outside guest memory is a
  // GuestFault naming What.
  void Read(uint64_t Address, void *Out, uint64_t Size, const char *What) const;
  void Write(uint64_t Address, const void *In, uint64_t Size, const char *What);
  uint64_t ReadUint(uint64_t Address, unsigned Bytes, const char *What) const;
  void WriteUint(uint64_t Address, uint64_t Value, unsigned Bytes,
                 const char *What);
  uint64_t ReadPointer(uint64_t Address, const char *What) const {
    return ReadUint(Address, PointerSize(), What);
  }
  void WritePointer(uint64_t Address, uint64_t Value, const char *What) {
    WriteUint(Address, Value, PointerSize(), What);
  }

  // Bump allocation in the platform data region (read-write, never freed).
  uint64_t AllocData(uint64_t Size, uint64_t Align = 16);
  uint64_t AllocBytes(const void *Bytes, uint64_t Size, uint64_t Align = 16);

  // A new trap thunk; returns its guest address.
  uint64_t AddService(const std::string &Name, std::vector<ArgType> Args,
                      ServiceFn Fn);

  // Loads a PE image at Base into one host block, mapped for the guest page
  // by page, each page with the union of the permissions of the sections on
  // it; finer section permissions are enforced by hooks (and by HostPointer
  // for services). Returns the entry point's guest address.
  uint64_t LoadImage(const PeImage &Image, uint64_t Base,
                     const std::string &Name);

  // Calls guest Function with Args (each cast to its declared width) and
  // returns its result register (EAX or RAX). Throws GuestFault when the run
  // does not end at the pushed return address.
  uint64_t Call(uint64_t Function,
                const std::vector<std::pair<ArgType, uint64_t>> &Args,
                const std::string &What);

  // Guest instructions allowed for one call into the image, nested calls
  // included; exceeding it is a runaway.
  void SetInstructionBudget(uint64_t Budget) { Budget_ = Budget; }
  uint64_t InstructionsExecuted() const { return Executed_; }

  // Tracks the lowest stack pointer seen from now on (costly: on for
  // measurements only); turning it off keeps the figure.
  void TrackStack(bool On);
  uint64_t LowestStackPointer() const { return LowestSp_; }
  uint64_t StackTop() const { return StackTop_; }

  // The IA32 interrupt descriptor table register (SIDT reads it).
  void SetIdtr(uint64_t Base, uint16_t Limit);

  // Where Address lies, for messages: "NtfsRecoveryPei.efi+0x8d0",
  // "service InstallPpi" or the bare address.
  std::string Describe(uint64_t Address) const;

  struct Region {
    uint64_t Base;
    uint64_t Size;
    uint32_t Prot;
    std::string Name;
    std::shared_ptr<uint8_t> Host;
  };
  struct ImageSection {
    uint64_t Start, End;
    uint32_t Prot;
  };
  struct Service {
    std::string Name;
    std::vector<ArgType> Args;
    ServiceFn Fn;
  };
  struct Pending;  // state shared with the Unicorn hooks

 private:
  std::vector<uint64_t> ReadArgs(const Service &S);
  void RunUntilReturn(uint64_t Pc, const std::string &What);
  uint64_t Sp() const;
  void SetSp(uint64_t V);
  uint64_t Pc() const;
  void SetPc(uint64_t V);
  uint64_t Reg(int Id) const;
  void SetReg(int Id, uint64_t V);

  Arch Arch_;
  uc_struct *Uc_ = nullptr;
  std::vector<Region> Regions_;
  std::vector<Service> Services_;
  std::vector<ImageSection> ImageSections_;
  uint64_t ImageBase_ = 0, ImageEnd_ = 0;
  std::string ImageName_;
  uint64_t ThunkBase_ = 0, ReturnStop_ = 0;
  uint64_t DataNext_ = 0, DataEnd_ = 0;
  uint64_t FreshNext_ = 0, FreshEnd_ = 0;
  uint64_t StackTop_ = 0;
  uint64_t Budget_ = 200000000;
  uint64_t Executed_ = 0;
  uint64_t LowestSp_ = ~0ull;
  int Depth_ = 0;
  std::unique_ptr<Pending> Pending_;
  std::vector<std::string> CallStack_;

  friend struct HookAccess;
};

}  // namespace emulator

#endif  // EMULATOR_MACHINE_H_
