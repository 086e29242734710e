// The emulated processor's model: what CPUID tells the DLL and which
// instruction sets the processor has. The engine itself runs any instruction
// it knows, so the bed answers CPUID for the model and refuses, block by
// block, an instruction the model does not have, as the processor would
// with an invalid-opcode fault.
#pragma once

#include <cstdint>
#include <string>

struct uc_struct;

namespace x86 {

enum class Processor;

// Answers the CPUID instruction in `engine` as `processor` would.
void AnswerCpuid(uc_struct *engine, Processor processor);

struct BlockInstructions {
    bool ssse3 = false;    // holds an SSSE3 instruction
    std::string forbidden; // the first instruction the model does not have, with its set, or ""
};
// Decodes a block of 32-bit code once; `address` is where it runs.
BlockInstructions ReadBlock(const std::uint8_t *code, std::uint32_t size, std::uint64_t address, Processor processor);

} // namespace x86
