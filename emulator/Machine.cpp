// The Unicorn-based CPU, memory map, trap thunks and guest calls; see
// Machine.h.
#include "emulator/Machine.h"

#include <sys/mman.h>
#include <unicorn/unicorn.h>

#include <cstring>

#include "emulator/MachineHooks.h"

namespace emulator {

namespace {

// Guest memory map: the thunk page, the platform data region (tables, PPIs,
// GUIDs), the stack, and the allocation area where AllocatePages, pools and
// capsule buffers get pages of their own with an unmapped page after each.
struct Layout {
  uint64_t Thunks, Data, DataSize, Stack, StackSize, Fresh, FreshEnd;
};

// Fixed regions per architecture. X64 keeps everything above 4 GiB so that a
// pointer truncated to 32 bits lands in unmapped memory.
Layout LayoutOf(Arch A) {
  if (A == Arch::Ia32)
    return {0x00010000, 0x00100000, 0x00100000, 0x00400000,
            0x00100000, 0x20000000, 0xF0000000};
  const uint64_t High = 0x100000000ull;
  return {High + 0x00010000, High + 0x00100000, 0x00100000,
          High + 0x00400000, 0x00100000,        High + 0x20000000,
          High + 0xF0000000};
}

uint32_t UcProt(uint32_t Prot) {
  uint32_t P = 0;
  if (Prot & kProtRead) P |= UC_PROT_READ;
  if (Prot & kProtWrite) P |= UC_PROT_WRITE;
  if (Prot & kProtExec) P |= UC_PROT_EXEC;
  return P;
}

uint64_t Mask(ArgType T, uint64_t V, unsigned PointerSize) {
  switch (T) {
    case ArgType::U8:
      return V & 0xFF;
    case ArgType::U16:
      return V & 0xFFFF;
    case ArgType::U32:
      return V & 0xFFFFFFFFull;
    case ArgType::U64:
      return V;
    case ArgType::Natural:
      return PointerSize == 4 ? (V & 0xFFFFFFFFull) : V;
  }
  return V;
}

}  // namespace

Machine::Machine(Arch A) : Arch_(A), Pending_(new Pending) {
  Pending_->Owner = this;
  uc_err E =
      uc_open(UC_ARCH_X86, A == Arch::Ia32 ? UC_MODE_32 : UC_MODE_64, &Uc_);
  if (E != UC_ERR_OK)
    throw std::runtime_error(std::string("unicorn: ") + uc_strerror(E));
  const Layout L = LayoutOf(A);
  ThunkBase_ = L.Thunks;
  ReturnStop_ = L.Thunks;  // slot 0
  uint8_t *Thunks =
      Map(L.Thunks, kPageSize, kProtRead | kProtExec, "service thunks");
  std::memset(Thunks, 0xCC, kPageSize);
  for (uint64_t I = 0; I < kSlotCount; ++I)
    Thunks[I * kSlotSize] = 0xC3;  // ret
  Map(L.Data, L.DataSize, kProtRead | kProtWrite, "platform data");
  DataNext_ = L.Data;
  DataEnd_ = L.Data + L.DataSize;
  Map(L.Stack, L.StackSize, kProtRead | kProtWrite, "stack");
  StackTop_ = L.Stack + L.StackSize;
  FreshNext_ = L.Fresh;
  FreshEnd_ = L.FreshEnd;

  uc_hook H;
  uc_hook_add(Uc_, &H, UC_HOOK_CODE,
              reinterpret_cast<void *>(&HookAccess::OnThunk), Pending_.get(),
              L.Thunks, L.Thunks + kPageSize - 1);
  uc_hook_add(Uc_, &H, UC_HOOK_CODE,
              reinterpret_cast<void *>(&HookAccess::OnInstruction),
              Pending_.get(), 1, 0);
  uc_hook_add(Uc_, &H, UC_HOOK_MEM_INVALID,
              reinterpret_cast<void *>(&HookAccess::OnBadMemory),
              Pending_.get(), 1, 0);
  uc_hook_add(Uc_, &H, UC_HOOK_INTR,
              reinterpret_cast<void *>(&HookAccess::OnInterrupt),
              Pending_.get(), 1, 0);
  uc_hook_add(Uc_, &H, UC_HOOK_INSN_INVALID,
              reinterpret_cast<void *>(&HookAccess::OnInvalidInstruction),
              Pending_.get(), 1, 0);
}

Machine::~Machine() {
  if (Uc_) uc_close(Uc_);
}

uint8_t *Machine::Map(uint64_t Address, uint64_t Size, uint32_t Prot,
                      const std::string &Name) {
  Size = RoundUpToPage(Size == 0 ? 1 : Size);
  if (Address % kPageSize != 0)
    throw std::runtime_error("unaligned mapping of " + Name);
  for (const Region &R : Regions_) {
    if (Address < R.Base + R.Size && R.Base < Address + Size)
      throw std::runtime_error("mapping of " + Name + " overlaps " + R.Name);
  }
  void *P = mmap(nullptr, Size, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (P == MAP_FAILED)
    throw std::runtime_error("out of host memory mapping " + Name);
  // Large guest buffers (a capsule) fill through device reads: fewer page
  // faults with huge pages where the host offers them.
  if (Size >= (2u << 20)) madvise(P, Size, MADV_HUGEPAGE);
  std::shared_ptr<uint8_t> Host(static_cast<uint8_t *>(P),
                                [Size](uint8_t *Q) { munmap(Q, Size); });
  uc_err E = uc_mem_map_ptr(Uc_, Address, Size, UcProt(Prot), P);
  if (E != UC_ERR_OK)
    throw std::runtime_error("cannot map " + Name + ": " + uc_strerror(E));
  Regions_.push_back({Address, Size, Prot, Name, Host});
  return Host.get();
}

uint64_t Machine::MapFresh(uint64_t Size, uint32_t Prot,
                           const std::string &Name) {
  // Checked before rounding: a size near 2^64 would round to a small one.
  if (Size > FreshEnd_ - FreshNext_) return 0;
  const uint64_t Bytes = RoundUpToPage(Size == 0 ? 1 : Size);
  if (Bytes > FreshEnd_ - FreshNext_ ||
      FreshEnd_ - FreshNext_ - Bytes < kPageSize)
    return 0;
  const uint64_t Address = FreshNext_;
  Map(Address, Bytes, Prot, Name);
  FreshNext_ += Bytes + kPageSize;  // an unmapped guard page after each mapping
  return Address;
}

uint8_t *Machine::HostPointer(uint64_t Address, uint64_t Size,
                              uint32_t Prot) const {
  for (const Region &R : Regions_) {
    if (Address >= R.Base && Address - R.Base <= R.Size &&
        Size <= R.Size - (Address - R.Base)) {
      if ((R.Prot & Prot) != Prot) return nullptr;
      // In the image, writing or executing needs one section that allows it
      // and holds the whole range, as the guest's own accesses do.
      if (R.Base == ImageBase_ && ImageEnd_ != 0 &&
          (Prot & (kProtWrite | kProtExec)) != 0) {
        bool Allowed = false;
        for (const ImageSection &S : ImageSections_) {
          if (Address >= S.Start && Address + Size <= S.End &&
              (S.Prot & Prot) == Prot)
            Allowed = true;
        }
        if (!Allowed) return nullptr;
      }
      return R.Host.get() + (Address - R.Base);
    }
  }
  return nullptr;
}

void Machine::Read(uint64_t Address, void *Out, uint64_t Size,
                   const char *What) const {
  if (Size == 0) return;
  const uint8_t *P = HostPointer(Address, Size, kProtRead);
  if (!P)
    throw GuestFault(std::string(What) + ": " + std::to_string(Size) +
                     " bytes at " + Hex(Address) +
                     " are not readable guest memory");
  std::memcpy(Out, P, Size);
}

void Machine::Write(uint64_t Address, const void *In, uint64_t Size,
                    const char *What) {
  if (Size == 0) return;
  uint8_t *P = HostPointer(Address, Size, kProtWrite);
  if (!P)
    throw GuestFault(std::string(What) + ": " + std::to_string(Size) +
                     " bytes at " + Hex(Address) +
                     " are not writable guest memory");
  std::memcpy(P, In, Size);
}

uint64_t Machine::ReadUint(uint64_t Address, unsigned Bytes,
                           const char *What) const {
  uint8_t B[8] = {};
  Read(Address, B, Bytes, What);
  uint64_t V = 0;
  for (unsigned I = 0; I < Bytes; ++I)
    V |= static_cast<uint64_t>(B[I]) << (8 * I);
  return V;
}

void Machine::WriteUint(uint64_t Address, uint64_t Value, unsigned Bytes,
                        const char *What) {
  uint8_t B[8];
  for (unsigned I = 0; I < Bytes; ++I)
    B[I] = static_cast<uint8_t>(Value >> (8 * I));
  Write(Address, B, Bytes, What);
}

uint64_t Machine::AllocData(uint64_t Size, uint64_t Align) {
  uint64_t A = (DataNext_ + Align - 1) & ~(Align - 1);
  if (A > DataEnd_ || Size > DataEnd_ - A)
    throw std::runtime_error("platform data region full");
  DataNext_ = A + Size;
  return A;
}

uint64_t Machine::AllocBytes(const void *Bytes, uint64_t Size, uint64_t Align) {
  uint64_t A = AllocData(Size, Align);
  Write(A, Bytes, Size, "platform data");
  return A;
}

uint64_t Machine::AddService(const std::string &Name, std::vector<ArgType> Args,
                             ServiceFn Fn) {
  if (Services_.size() + 1 >= kSlotCount)
    throw std::runtime_error("too many services");
  Services_.push_back({Name, std::move(Args), std::move(Fn)});
  return ThunkBase_ + Services_.size() * kSlotSize;
}

uint64_t Machine::LoadImage(const PeImage &Image, uint64_t Base,
                            const std::string &Name) {
  if ((Arch_ == Arch::Ia32) != (Image.Machine == kMachineI386))
    throw std::runtime_error(Name + ": the image is for another CPU mode");
  if (Base % kPageSize != 0) throw std::runtime_error("unaligned image base");
  std::vector<uint8_t> Memory;
  std::string Error;
  if (!BuildMemoryImage(Image, Base, &Memory, &Error))
    throw std::runtime_error(Name + ": " + Error);
  ImageSections_.clear();
  ImageSections_.push_back({Base, Base + Image.SizeOfHeaders, kProtRead});
  for (const PeSection &S : Image.Sections) {
    uint32_t P = 0;
    if (S.Characteristics & kSectionRead) P |= kProtRead;
    if (S.Characteristics & kSectionWrite) P |= kProtWrite;
    if (S.Characteristics & kSectionExecute) P |= kProtExec;
    ImageSections_.push_back(
        {Base + S.VirtualAddress, Base + S.VirtualAddress + S.VirtualSize, P});
  }
  const uint64_t Size = RoundUpToPage(Image.SizeOfImage);
  for (const Region &R : Regions_) {
    if (Base < R.Base + R.Size && R.Base < Base + Size)
      throw std::runtime_error("mapping of " + Name + " overlaps " + R.Name);
  }
  // One host block for the whole image, so that services see a range of it
  // that crosses pages as one; HostPointer applies the sections' own
  // permissions to it.
  void *P = mmap(nullptr, Size, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (P == MAP_FAILED)
    throw std::runtime_error("out of host memory mapping " + Name);
  std::shared_ptr<uint8_t> Host(static_cast<uint8_t *>(P),
                                [Size](uint8_t *Q) { munmap(Q, Size); });
  std::memcpy(Host.get(), Memory.data(), Memory.size());
  bool Mixed = false;
  for (uint64_t Page = 0; Page < Size; Page += kPageSize) {
    uint32_t Prot = 0;
    int Kinds = 0;
    uint32_t First = 0;
    for (const ImageSection &S : ImageSections_) {
      if (S.Start < Base + Page + kPageSize && Base + Page < S.End) {
        if (Kinds++ == 0) First = S.Prot;
        if (S.Prot != First) Mixed = true;
        Prot |= S.Prot;
      }
    }
    if (Prot == 0) Prot = kProtRead;
    const uc_err E = uc_mem_map_ptr(Uc_, Base + Page, kPageSize, UcProt(Prot),
                                    Host.get() + Page);
    if (E != UC_ERR_OK)
      throw std::runtime_error("cannot map " + Name + ": " + uc_strerror(E));
  }
  Regions_.push_back(
      {Base, Size, kProtRead | kProtWrite | kProtExec, Name, Host});
  ImageBase_ = Base;
  ImageEnd_ = Base + Size;
  ImageName_ = Name;
  if (Mixed) {
    // Sections share pages (small section alignment): enforce each
    // section's own permissions on writes and on execution.
    uc_hook H;
    uc_hook_add(Uc_, &H, UC_HOOK_MEM_WRITE,
                reinterpret_cast<void *>(&HookAccess::OnImageWrite),
                Pending_.get(), Base, Base + Size - 1);
    uc_hook_add(Uc_, &H, UC_HOOK_BLOCK,
                reinterpret_cast<void *>(&HookAccess::OnImageBlock),
                Pending_.get(), Base, Base + Size - 1);
  }
  return Base + Image.EntryPoint;
}

void Machine::TrackStack(bool On) {
  Pending_->Tracking = On;
  if (On) LowestSp_ = ~0ull;
}

void Machine::SetIdtr(uint64_t Base, uint16_t Limit) {
  uc_x86_mmr Idtr = {};
  Idtr.base = Base;
  Idtr.limit = Limit;
  uc_reg_write(Uc_, UC_X86_REG_IDTR, &Idtr);
}

std::string Machine::Describe(uint64_t Address) const {
  if (Address >= ImageBase_ && Address < ImageEnd_)
    return ImageName_ + "+" + Hex(Address - ImageBase_) + " (" + Hex(Address) +
           ")";
  if (Address >= ThunkBase_ && Address < ThunkBase_ + kPageSize) {
    if (Address == ReturnStop_) return "the return stop " + Hex(Address);
    const uint64_t Slot = (Address - ThunkBase_) / kSlotSize;
    if (Slot >= 1 && Slot <= Services_.size())
      return "service " + Services_[Slot - 1].Name + " (" + Hex(Address) + ")";
  }
  for (const Region &R : Regions_) {
    if (Address >= R.Base && Address < R.Base + R.Size)
      return R.Name + "+" + Hex(Address - R.Base) + " (" + Hex(Address) + ")";
  }
  return Hex(Address);
}

uint64_t Machine::Reg(int Id) const {
  uint64_t V = 0;
  uc_reg_read(Uc_, Id, &V);
  return Arch_ == Arch::Ia32 ? (V & 0xFFFFFFFFull) : V;
}
void Machine::SetReg(int Id, uint64_t V) { uc_reg_write(Uc_, Id, &V); }
uint64_t Machine::Sp() const {
  return Reg(Arch_ == Arch::Ia32 ? UC_X86_REG_ESP : UC_X86_REG_RSP);
}
void Machine::SetSp(uint64_t V) {
  SetReg(Arch_ == Arch::Ia32 ? UC_X86_REG_ESP : UC_X86_REG_RSP, V);
}
uint64_t Machine::Pc() const {
  return Reg(Arch_ == Arch::Ia32 ? UC_X86_REG_EIP : UC_X86_REG_RIP);
}
void Machine::SetPc(uint64_t V) {
  SetReg(Arch_ == Arch::Ia32 ? UC_X86_REG_EIP : UC_X86_REG_RIP, V);
}

// Reads the arguments of service S at its entry (the return address on top
// of the stack): cdecl on IA32, RCX/RDX/R8/R9 then the stack past the
// 32-byte shadow space on X64. Each is cast to its declared width.
std::vector<uint64_t> Machine::ReadArgs(const Service &S) {
  std::vector<uint64_t> Values;
  const uint64_t Sp = this->Sp();
  if (Arch_ == Arch::Ia32) {
    uint64_t Off = Sp + 4;
    for (ArgType T : S.Args) {
      const unsigned Bytes = T == ArgType::U64 ? 8 : 4;
      Values.push_back(Mask(T, ReadUint(Off, Bytes, "service arguments"), 4));
      Off += Bytes;
    }
  } else {
    static const int Regs[4] = {UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_R8,
                                UC_X86_REG_R9};
    for (size_t I = 0; I < S.Args.size(); ++I) {
      const uint64_t Raw =
          I < 4 ? Reg(Regs[I])
                : ReadUint(Sp + 8 + 32 + 8 * (I - 4), 8, "service arguments");
      Values.push_back(Mask(S.Args[I], Raw, 8));
    }
  }
  return Values;
}

void Machine::RunUntilReturn(uint64_t Pc, const std::string &What) {
  auto Where = [&]() {
    std::string W;
    for (const std::string &C : CallStack_) W += (W.empty() ? "" : " > ") + C;
    return W;
  };
  for (;;) {
    Pending_->Reset();
    const uc_err E = uc_emu_start(Uc_, Pc, ReturnStop_, 0, 0);
    const uint64_t Now = this->Pc();
    if (!Pending_->Fault.empty())
      throw GuestFault("guest fault: " + Pending_->Fault + ", while running " +
                       Where());
    if (E != UC_ERR_OK)
      throw GuestFault(std::string("guest fault: ") + uc_strerror(E) + " at " +
                       Describe(Now) + ", while running " + Where());
    if (Pending_->TrapSlot > 0) {
      const Service &S = Services_[Pending_->TrapSlot - 1];
      const uint64_t Return = ReadPointer(this->Sp(), "service return address");
      const std::vector<uint64_t> Args = ReadArgs(S);
      struct Frame {
        std::vector<std::string> &Stack;
        ~Frame() { Stack.pop_back(); }
      };
      CallStack_.push_back(S.Name);
      uint64_t Result;
      {
        Frame Guard{CallStack_};
        Result = S.Fn(*this, Args);
      }
      SetReg(Arch_ == Arch::Ia32 ? UC_X86_REG_EAX : UC_X86_REG_RAX,
             Arch_ == Arch::Ia32 ? (Result & 0xFFFFFFFFull) : Result);
      if (Arch_ == Arch::Ia32) SetReg(UC_X86_REG_EDX, Result >> 32);
      SetSp(this->Sp() + PointerSize());
      Pc = Return;
      continue;
    }
    if (Now == ReturnStop_) return;
    throw GuestFault("guest fault: the run stopped at " + Describe(Now) +
                     " instead of returning, while running " + Where());
  }
}

uint64_t Machine::Call(uint64_t Function,
                       const std::vector<std::pair<ArgType, uint64_t>> &Args,
                       const std::string &What) {
  uc_context *Saved = nullptr;
  const bool Nested = Depth_ > 0;
  if (Nested) {
    uc_context_alloc(Uc_, &Saved);
    uc_context_save(Uc_, Saved);
  } else {
    Executed_ = 0;
  }
  struct Restore {
    Machine *M;
    uc_context *C;
    ~Restore() {
      --M->Depth_;
      M->CallStack_.pop_back();
      if (C) {
        uc_context_restore(M->Uc_, C);
        uc_context_free(C);
      }
    }
  };
  ++Depth_;
  CallStack_.push_back(What);
  Restore Guard{this, Saved};

  uint64_t Sp = Nested ? this->Sp() - 256 : StackTop_ - 64;
  Sp &= ~uint64_t{15};
  if (Arch_ == Arch::Ia32) {
    uint64_t Bytes = 0;
    for (const auto &A : Args) Bytes += A.first == ArgType::U64 ? 8 : 4;
    Sp = (Sp - Bytes) & ~uint64_t{15};
    uint64_t Off = Sp;
    for (const auto &A : Args) {
      const unsigned N = A.first == ArgType::U64 ? 8 : 4;
      WriteUint(Off, Mask(A.first, A.second, 4), N, "call frame");
      Off += N;
    }
    Sp -= 4;
    WriteUint(Sp, ReturnStop_, 4, "call frame");
  } else {
    static const int Regs[4] = {UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_R8,
                                UC_X86_REG_R9};
    const uint64_t StackArgs = Args.size() > 4 ? Args.size() - 4 : 0;
    Sp = (Sp - 32 - 8 * StackArgs) & ~uint64_t{15};
    for (size_t I = 0; I < Args.size(); ++I) {
      const uint64_t V = Mask(Args[I].first, Args[I].second, 8);
      if (I < 4)
        SetReg(Regs[I], V);
      else
        WriteUint(Sp + 32 + 8 * (I - 4), V, 8, "call frame");
    }
    Sp -= 8;
    WriteUint(Sp, ReturnStop_, 8, "call frame");
  }
  SetSp(Sp);
  RunUntilReturn(Function, What);
  const uint64_t Result =
      Reg(Arch_ == Arch::Ia32 ? UC_X86_REG_EAX : UC_X86_REG_RAX);
  if (this->Sp() != Sp + PointerSize())
    throw GuestFault("guest fault: " + What +
                     " returned with an unbalanced stack");
  return Result;
}

}  // namespace emulator
