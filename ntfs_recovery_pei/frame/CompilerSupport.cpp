// What the compiler calls on its own in the firmware image: memset and
// memcpy for structure clears and copies, and on IA32 the 64-bit division
// helpers of the Windows target (stdcall, two 64-bit arguments on the stack,
// the result in EDX:EAX). The host build takes these from its C library.
#if defined(FIRMWARE_BUILD)

#include "efi/Base.h"

extern "C" {

// Written through volatile pointers so that the optimizer cannot turn the
// loops back into calls of these very functions.
void *memset(void *Buffer, int Value, size_t Count) {
  volatile UINT8 *P = static_cast<volatile UINT8 *>(Buffer);
  while (Count-- != 0) *P++ = static_cast<UINT8>(Value);
  return Buffer;
}

void *memcpy(void *Destination, const void *Source, size_t Count) {
  volatile UINT8 *D = static_cast<volatile UINT8 *>(Destination);
  const volatile UINT8 *S = static_cast<const volatile UINT8 *>(Source);
  while (Count-- != 0) *D++ = *S++;
  return Destination;
}

}  // extern "C"

#if defined(__i386__)

// Unsigned 64-bit division by shift and subtract; uses no division itself.
static uint64_t DivideU64(uint64_t Dividend, uint64_t Divisor,
                          uint64_t *Remainder) {
  if (Divisor == 0) {  // the hardware would fault; the module never divides by 0
    *Remainder = 0;
    return 0;
  }
  uint64_t Quotient = 0;
  uint64_t Rest = 0;
  for (int Bit = 63; Bit >= 0; --Bit) {
    Rest = (Rest << 1) | ((Dividend >> Bit) & 1);
    if (Rest >= Divisor) {
      Rest -= Divisor;
      Quotient |= static_cast<uint64_t>(1) << Bit;
    }
  }
  *Remainder = Rest;
  return Quotient;
}

static uint64_t Magnitude(int64_t Value) {
  return Value < 0 ? static_cast<uint64_t>(0) - static_cast<uint64_t>(Value)
                   : static_cast<uint64_t>(Value);
}

extern "C" {

__attribute__((stdcall, used)) uint64_t FirmwareAullDiv(uint64_t A, uint64_t B)
    __asm__("__aulldiv");
__attribute__((stdcall, used)) uint64_t FirmwareAullRem(uint64_t A, uint64_t B)
    __asm__("__aullrem");
__attribute__((stdcall, used)) int64_t FirmwareAllDiv(int64_t A, int64_t B)
    __asm__("__alldiv");
__attribute__((stdcall, used)) int64_t FirmwareAllRem(int64_t A, int64_t B)
    __asm__("__allrem");

uint64_t FirmwareAullDiv(uint64_t A, uint64_t B) {
  uint64_t R;
  return DivideU64(A, B, &R);
}

uint64_t FirmwareAullRem(uint64_t A, uint64_t B) {
  uint64_t R;
  DivideU64(A, B, &R);
  return R;
}

int64_t FirmwareAllDiv(int64_t A, int64_t B) {
  uint64_t R;
  uint64_t Q = DivideU64(Magnitude(A), Magnitude(B), &R);
  bool Negative = (A < 0) != (B < 0);
  return static_cast<int64_t>(Negative ? static_cast<uint64_t>(0) - Q : Q);
}

int64_t FirmwareAllRem(int64_t A, int64_t B) {
  uint64_t R;
  DivideU64(Magnitude(A), Magnitude(B), &R);
  return static_cast<int64_t>(A < 0 ? static_cast<uint64_t>(0) - R : R);
}

}  // extern "C"

#endif  // __i386__
#endif  // FIRMWARE_BUILD
