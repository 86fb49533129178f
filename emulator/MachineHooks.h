// The Unicorn callbacks of Machine and the state they share with its run
// loop; private to the emulator's Machine.
#ifndef EMULATOR_MACHINE_HOOKS_H_
#define EMULATOR_MACHINE_HOOKS_H_

#include <unicorn/unicorn.h>

#include <cinttypes>
#include <cstdio>
#include <string>

#include "emulator/Machine.h"

namespace emulator {

// Thunk slots: 16 bytes each on the thunk page; slot 0 is the return stop.
constexpr uint64_t kSlotSize = 16;
constexpr uint64_t kSlotCount = kPageSize / kSlotSize;

inline std::string Hex(uint64_t V) {
  char B[32];
  std::snprintf(B, sizeof B, "0x%" PRIx64, V);
  return B;
}

// What the hooks found during one uc_emu_start; read by the run loop.
struct Machine::Pending {
  Machine *Owner = nullptr;
  int TrapSlot = -1;
  std::string Fault;  // empty: no fault
  bool Tracking = false;
  void Reset() {
    TrapSlot = -1;
    Fault.clear();
  }
};

// Unicorn callbacks: each records what happened and stops the run.
struct HookAccess {
  static void OnThunk(uc_engine *Uc, uint64_t Address, uint32_t, void *User);
  static void OnInstruction(uc_engine *Uc, uint64_t Address, uint32_t,
                            void *User);
  static bool OnBadMemory(uc_engine *Uc, uc_mem_type Type, uint64_t Address,
                          int Size, int64_t, void *User);
  static void OnImageWrite(uc_engine *Uc, uc_mem_type, uint64_t Address,
                           int Size, int64_t, void *User);
  static void OnImageBlock(uc_engine *Uc, uint64_t Address, uint32_t,
                           void *User);
  static void OnInterrupt(uc_engine *Uc, uint32_t Number, void *User);
  static bool OnInvalidInstruction(uc_engine *Uc, void *User);
};

}  // namespace emulator

#endif  // EMULATOR_MACHINE_HOOKS_H_
