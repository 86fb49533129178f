// The Unicorn callbacks of Machine; see MachineHooks.h.
#include "emulator/MachineHooks.h"

namespace emulator {

void HookAccess::OnThunk(uc_engine *Uc, uint64_t Address, uint32_t,
                         void *User) {
  auto *P = static_cast<Machine::Pending *>(User);
  const uint64_t Slot = (Address - P->Owner->ThunkBase_) / kSlotSize;
  if (Address == P->Owner->ReturnStop_) return;
  if (Slot == 0 || Slot > P->Owner->Services_.size() ||
      (Address - P->Owner->ThunkBase_) % kSlotSize != 0) {
    P->Fault = "jump into the middle of the service thunks at " + Hex(Address);
  } else {
    P->TrapSlot = static_cast<int>(Slot);
  }
  uc_emu_stop(Uc);
}

void HookAccess::OnInstruction(uc_engine *Uc, uint64_t Address, uint32_t,
                               void *User) {
  auto *P = static_cast<Machine::Pending *>(User);
  Machine *M = P->Owner;
  if (++M->Executed_ > M->Budget_) {
    if (P->Fault.empty())
      P->Fault = "runaway: more than " + std::to_string(M->Budget_) +
                 " instructions, at " + M->Describe(Address);
    uc_emu_stop(Uc);
    return;
  }
  if (P->Tracking) {
    uint64_t Sp = 0;
    uc_reg_read(Uc, M->Arch_ == Arch::Ia32 ? UC_X86_REG_ESP : UC_X86_REG_RSP,
                &Sp);
    if (Sp < M->LowestSp_) M->LowestSp_ = Sp;
  }
}

bool HookAccess::OnBadMemory(uc_engine *Uc, uc_mem_type Type, uint64_t Address,
                             int Size, int64_t, void *User) {
  auto *P = static_cast<Machine::Pending *>(User);
  const char *Kind = "access to unmapped memory";
  switch (Type) {
    case UC_MEM_READ_UNMAPPED:
      Kind = "read of unmapped memory";
      break;
    case UC_MEM_WRITE_UNMAPPED:
      Kind = "write to unmapped memory";
      break;
    case UC_MEM_FETCH_UNMAPPED:
      Kind = "execution of unmapped memory";
      break;
    case UC_MEM_WRITE_PROT:
      Kind = "write to read-only memory";
      break;
    case UC_MEM_READ_PROT:
      Kind = "read of unreadable memory";
      break;
    case UC_MEM_FETCH_PROT:
      Kind = "execution of non-executable memory";
      break;
    default:
      break;
  }
  uint64_t Pc = P->Owner->Pc();
  if (P->Fault.empty())
    P->Fault = std::string(Kind) + " at " + Hex(Address) + " (" +
               std::to_string(Size) + " bytes) by the instruction at " +
               P->Owner->Describe(Pc);
  return false;
}

void HookAccess::OnImageWrite(uc_engine *Uc, uc_mem_type, uint64_t Address,
                              int Size, int64_t, void *User) {
  auto *P = static_cast<Machine::Pending *>(User);
  Machine *M = P->Owner;
  for (const Machine::ImageSection &S : M->ImageSections_) {
    if (Address >= S.Start && Address + Size <= S.End && (S.Prot & kProtWrite))
      return;
  }
  if (P->Fault.empty())
    P->Fault = "write to a read-only part of the image at " +
               M->Describe(Address) + " by the instruction at " +
               M->Describe(M->Pc());
  uc_emu_stop(Uc);
}

void HookAccess::OnImageBlock(uc_engine *Uc, uint64_t Address, uint32_t,
                              void *User) {
  auto *P = static_cast<Machine::Pending *>(User);
  Machine *M = P->Owner;
  for (const Machine::ImageSection &S : M->ImageSections_) {
    if (Address >= S.Start && Address < S.End && (S.Prot & kProtExec)) return;
  }
  if (P->Fault.empty())
    P->Fault =
        "execution of a non-code part of the image at " + M->Describe(Address);
  uc_emu_stop(Uc);
}

void HookAccess::OnInterrupt(uc_engine *Uc, uint32_t Number, void *User) {
  auto *P = static_cast<Machine::Pending *>(User);
  if (P->Fault.empty())
    P->Fault = "CPU exception " + std::to_string(Number) + " at " +
               P->Owner->Describe(P->Owner->Pc());
  uc_emu_stop(Uc);
}

bool HookAccess::OnInvalidInstruction(uc_engine *Uc, void *User) {
  auto *P = static_cast<Machine::Pending *>(User);
  if (P->Fault.empty())
    P->Fault = "invalid instruction at " + P->Owner->Describe(P->Owner->Pc());
  return false;
}

}  // namespace emulator
