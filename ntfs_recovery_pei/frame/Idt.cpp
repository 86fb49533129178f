// The PEI services pointer as the PI specification keeps it on IA-32: in
// the four bytes just below the base of the interrupt descriptor table.
// ReadIdtBase is the one CPU access of the module: SIDT in the firmware, a
// simulated IDT base on the host.
#include "ntfs_recovery_pei/frame/Frame.h"

#if defined(FIRMWARE_BUILD)

/// The IDT base from the IDTR register (SIDT).
UINT32 ReadIdtBase() {
  struct __attribute__((packed)) {
    UINT16 Limit;
    UINT32 Base;
  } Idtr = {0, 0};
  __asm__ __volatile__("sidt %0" : "=m"(Idtr));
  return Idtr.Base;
}

#else

UINT32 gSimulatedIdtBase;

/// The IDT base that the simulated platform set up.
UINT32 ReadIdtBase() { return gSimulatedIdtBase; }

#endif

/// The current PEI services pointer, read from the four bytes below the
/// IDT base.
EFI_PEI_SERVICES **ReadPeiServicesFromIdt() {
  UINTN Slot = static_cast<UINTN>(ReadIdtBase()) - sizeof(UINT32);
  return *reinterpret_cast<EFI_PEI_SERVICES ***>(Slot);
}
