// Calls into the DLL: import stubs that reach host functions, calls from
// the host or nested from a host function with the stdcall contract checked
// on return (arguments popped, callee-saved registers kept), and the faults
// a host function reports.
#include <unicorn/unicorn.h>

#include <cstring>

#include "x86/engine_state.h"
#include "x86/machine.h"

namespace x86 {

namespace {

// What a finished call broke of the contract, or "".
std::string ContractBroken(std::uint32_t espBefore, std::size_t argumentCount, const std::uint32_t (&saved)[4]) {
    const auto popped = static_cast<std::uint32_t>(argumentCount * 4);
    const std::uint32_t esp = Register(UC_X86_REG_ESP);
    if (esp != espBefore + 4 + popped) {
        const auto took = static_cast<std::int64_t>(esp) - espBefore - 4;
        return "the stdcall contract is broken: the call removed " + std::to_string(took) +
               " bytes of arguments, not " + std::to_string(popped) + " (ESP " + Hex(esp) + ", expected " +
               Hex(espBefore + 4 + popped) + ")";
    }
    for (int i = 0; i < 4; ++i) {
        if (Register(kSavedRegisters[i]) != saved[i]) {
            return std::string("the callee-saved register ") + kSavedNames[i] +
                   " is not preserved: " + Hex(Register(kSavedRegisters[i])) + ", was " + Hex(saved[i]);
        }
    }
    return "";
}

} // namespace

Address Stub(const std::string &name, HostFunction function, std::uint16_t argumentBytes) {
    const Address at = kStubPage + static_cast<Address>(engine.stubs.size()) * kStubSize;
    if (at >= kReturnSentinel) {
        std::fprintf(stderr, "x86 test bed: more imports than the stub page holds\n");
        std::abort();
    }
    std::uint8_t *code = Host(at, kStubSize);
    if (argumentBytes == 0) {
        code[0] = 0xC3; // ret
    } else {
        code[0] = 0xC2; // ret imm16
        code[1] = static_cast<std::uint8_t>(argumentBytes);
        code[2] = static_cast<std::uint8_t>(argumentBytes >> 8);
    }
    engine.stubs.push_back({name, function});
    return at;
}

Outcome Call(const std::string &name, Address function, const std::vector<std::uint32_t> &arguments) {
    const bool nested = !engine.calls.empty();
    uc_context *outer = nullptr;
    if (nested) {
        Check(uc_context_alloc(engine.uc, &outer), "allocating a context");
        Check(uc_context_save(engine.uc, outer), "saving the context");
    }
    std::uint32_t esp = nested ? Register(UC_X86_REG_ESP) - kNestedStackGap : kStackTop - 16;
    for (auto it = arguments.rbegin(); it != arguments.rend(); ++it) {
        esp -= 4;
        std::memcpy(Host(esp, 4), &*it, 4);
    }
    esp -= 4;
    std::memcpy(Host(esp, 4), &kReturnSentinel, 4);
    SetRegister(UC_X86_REG_ESP, esp);
    std::uint32_t saved[4];
    for (int i = 0; i < 4; ++i) {
        saved[i] = kSavedMarks[i] + static_cast<std::uint32_t>(engine.calls.size()); // distinct per depth
        SetRegister(kSavedRegisters[i], saved[i]);
    }
    engine.calls.push_back(name);
    engine.fault.clear();
    const uc_err error = uc_emu_start(engine.uc, function, kReturnSentinel, 0, 0);
    Outcome outcome;
    if (!engine.fault.empty()) {
        outcome.fault = engine.fault;
    } else if (error != UC_ERR_OK) {
        outcome.fault = std::string(uc_strerror(error)) + " at " + Hex(Register(UC_X86_REG_EIP)) + " (" +
                        Describe(Register(UC_X86_REG_EIP)) + ")";
    } else if (Register(UC_X86_REG_EIP) != kReturnSentinel) {
        outcome.fault = "stopped at " + Hex(Register(UC_X86_REG_EIP)) + " without returning";
    } else {
        outcome.fault = ContractBroken(esp, arguments.size(), saved);
    }
    outcome.ok = outcome.fault.empty();
    if (!outcome.ok) {
        outcome.fault = CallPath() + ": " + outcome.fault;
    }
    outcome.eax = Register(UC_X86_REG_EAX);
    engine.calls.pop_back();
    engine.fault.clear();
    if (nested) {
        Check(uc_context_restore(engine.uc, outer), "restoring the context");
        uc_context_free(outer);
    }
    return outcome;
}

void Fault(const std::string &what) {
    if (engine.fault.empty()) {
        engine.fault = what;
    }
    uc_emu_stop(engine.uc);
}

std::string CallPath() {
    std::string path;
    for (auto it = engine.calls.rbegin(); it != engine.calls.rend(); ++it) {
        path += path.empty() ? *it : " (from inside " + *it + ")";
    }
    return path.empty() ? Innermost() : path;
}

bool Faulted() {
    return !engine.fault.empty();
}

} // namespace x86
