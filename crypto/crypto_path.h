// Which code runs AES-128 and SHA-256: the CPU's crypto instructions (AES-NI, SHA extensions)
// where CPUID reports them, otherwise the portable code. The choice is made at run time, so one
// binary runs on every x86-64 CPU.
#pragma once

bool AesInstructionsInUse();
bool ShaInstructionsInUse();

// For tests and the benchmark: false forces the portable code, true returns to the CPU's choice.
void UseCryptoInstructions(bool use);
