// The processor models: a Core 2 (Conroe), whose newest set is SSSE3, and a
// Pentium 4 (Prescott), whose newest is SSE3. Instructions are classed by
// Capstone's decoder.
#include "x86/processor.h"

#include <capstone/capstone.h>
#include <unicorn/unicorn.h>

#include "x86/machine.h"

namespace x86 {

namespace {

// CPUID leaf 1: family, model and stepping; the feature bits both models share.
constexpr std::uint32_t kCore2Signature = 0x000006F6, kPentium4Signature = 0x00000F41;
constexpr std::uint32_t kEdxFeatures = 1u << 0 | 1u << 4 | 1u << 8 | 1u << 15 | 1u << 23 | 1u << 24 | 1u << 25 |
                                       1u << 26; // FPU TSC CX8 CMOV MMX FXSR SSE SSE2
constexpr std::uint32_t kEcxSse3 = 1u << 0, kEcxSsse3 = 1u << 9;
// "GenuineIntel" in EBX, EDX, ECX.
constexpr std::uint32_t kVendor[3] = {0x756E6547, 0x49656E69, 0x6C65746E};

Processor model = Processor::WithSsse3;

void Set(uc_engine *uc, int id, std::uint32_t value) {
    uc_reg_write(uc, id, &value);
}

// Leaves 0 and 1 as the model answers them; every other leaf reads as zeros.
int OnCpuid(uc_engine *uc, void *) {
    std::uint32_t leaf = 0;
    uc_reg_read(uc, UC_X86_REG_EAX, &leaf);
    std::uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (leaf == 0) {
        eax = 1;
        ebx = kVendor[0], edx = kVendor[1], ecx = kVendor[2];
    } else if (leaf == 1) {
        eax = model == Processor::WithSsse3 ? kCore2Signature : kPentium4Signature;
        edx = kEdxFeatures;
        ecx = kEcxSse3 | (model == Processor::WithSsse3 ? kEcxSsse3 : 0);
    }
    Set(uc, UC_X86_REG_EAX, eax);
    Set(uc, UC_X86_REG_EBX, ebx);
    Set(uc, UC_X86_REG_ECX, ecx);
    Set(uc, UC_X86_REG_EDX, edx);
    return 1; // answered: the engine's own CPUID is not run
}

// The set an instruction belongs to when the model lacks it, or null.
const char *MissingSet(const cs_detail &detail, Processor processor) {
    for (std::uint8_t i = 0; i < detail.groups_count; ++i) {
        switch (detail.groups[i]) {
        case X86_GRP_SSSE3:
            if (processor == Processor::WithoutSsse3) {
                return "SSSE3";
            }
            break;
        case X86_GRP_SSE41:
            return "SSE4.1";
        case X86_GRP_SSE42:
            return "SSE4.2";
        case X86_GRP_SSE4A:
            return "SSE4a";
        case X86_GRP_AVX:
        case X86_GRP_AVX2:
        case X86_GRP_AVX512:
            return "AVX";
        default:
            break;
        }
    }
    return nullptr;
}

bool InSet(const cs_detail &detail, int group) {
    for (std::uint8_t i = 0; i < detail.groups_count; ++i) {
        if (detail.groups[i] == group) {
            return true;
        }
    }
    return false;
}

} // namespace

void AnswerCpuid(uc_struct *engine, Processor processor) {
    model = processor;
    uc_hook hook;
    uc_hook_add(engine, &hook, UC_HOOK_INSN, reinterpret_cast<void *>(&OnCpuid), nullptr, 1, 0, UC_X86_INS_CPUID);
}

BlockInstructions ReadBlock(const std::uint8_t *code, std::uint32_t size, std::uint64_t address, Processor processor) {
    BlockInstructions block;
    csh decoder;
    if (cs_open(CS_ARCH_X86, CS_MODE_32, &decoder) != CS_ERR_OK) {
        block.forbidden = "(the decoder could not start)";
        return block;
    }
    cs_option(decoder, CS_OPT_DETAIL, CS_OPT_ON);
    cs_insn *instructions = nullptr;
    const std::size_t count = cs_disasm(decoder, code, size, address, 0, &instructions);
    for (std::size_t i = 0; i < count; ++i) {
        const cs_detail &detail = *instructions[i].detail;
        block.ssse3 = block.ssse3 || InSet(detail, X86_GRP_SSSE3);
        const char *missing = MissingSet(detail, processor);
        if (missing != nullptr && block.forbidden.empty()) {
            block.forbidden =
                std::string(instructions[i].mnemonic) + " " + instructions[i].op_str + " (" + missing + ")";
        }
    }
    cs_free(instructions, count);
    cs_close(&decoder);
    return block;
}

} // namespace x86
