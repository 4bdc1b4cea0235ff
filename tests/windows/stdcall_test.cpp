// 32-bit DLL: every export is found by its plain name, as VB6, C# and Delphi
// look it up, and is __stdcall: called by hand with its arguments pushed right
// to left, it returns with them removed from the stack (a cdecl callee leaves
// them for the caller). The simulated reader's answers show the arguments
// arrived in order; a failure's code comes back as the thread's last error.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <vector>

#include "qvmodbusrtu.h"
#include "qvregisters.h"
#include "win_support.h"

#if !defined(__i386__)
#    error "stdcall_test is for the 32-bit build"
#endif

using namespace winsupport;
using testsupport::ToHex;

namespace {

struct Outcome {
    int result;
    int leftBytes;  // argument bytes still on the stack after the call
};

// Pushes args right to left, calls fn, and measures the stack pointer against
// where it stood before the pushes; restores it either way.
Outcome CallByHand(const void *fn, const std::vector<std::uint32_t> &args) {
    int result, left;
    int n = static_cast<int>(args.size());
    const std::uint32_t *a = args.data();
    __asm__ volatile(
        "movl %%esp, %%esi\n\t"
        "movl %[n], %%ecx\n\t"
        "1:\n\t"
        "jecxz 2f\n\t"
        "pushl -4(%[a],%%ecx,4)\n\t"
        "loop 1b\n\t"
        "2:\n\t"
        "call *%[fn]\n\t"
        "movl %%esi, %%ecx\n\t"
        "subl %%esp, %%ecx\n\t"
        "movl %%esi, %%esp\n\t"
        : "=a"(result), "=c"(left), [n] "+d"(n)
        : [fn] "b"(fn), [a] "D"(a)
        : "esi", "memory", "cc");
    return {result, left};
}

extern "C" int __cdecl CdeclTwo(int x, int y) {
    return x - y;
}

std::uint32_t Arg(const void *p) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}

}  // namespace

// The measurement itself: a cdecl function leaves its 8 bytes.
TEST(Stdcall, TheMeasureTellsCdeclApart) {
    Outcome o = CallByHand(reinterpret_cast<const void *>(&CdeclTwo), {7, 3});
    EXPECT_EQ(o.result, 4);
    EXPECT_EQ(o.leftBytes, 8);
}

TEST(Stdcall, EveryExportByPlainNameCleansItsArguments) {
    int com = EnvNumber("QV_WIN_SIM_COM"), tcp = EnvNumber("QV_WIN_SIM_TCP");
    ASSERT_TRUE(com > 0 && tcp > 0) << "QV_WIN_SIM_COM/TCP are not set: run the suite through scripts/test-windows";
    HMODULE dll = LoadLibraryA("qvmodbusrtu.dll");
    ASSERT_NE(dll, nullptr);

    static const char host[] = "127.0.0.1";
    std::uint8_t buf[QV_DEVICE_INFO_SIZE] = {};
    const std::uint8_t six[6] = {1, 2, 3, 4, 5, 6}, sixteen[16] = {0x42};
    const std::uint8_t delay[2] = {0x00, 0x14};
    struct Case {
        const char *name;
        std::vector<std::uint32_t> args;
        int result;
        const char *bufHex = nullptr;  // what buf then starts with, if anything
        DWORD lastError = 0;           // after a failure: what GetLastError gives
    } cases[] = {
        {"QV_ComInitial", {static_cast<std::uint32_t>(com), 19200}, 1},
        {"QV_ReadRegister", {1, qvreg::kCardNumber, 4, Arg(buf)}, 8, "00 00 00 00 00 12 34 56"},
        {"QV_ComFree", {}, 1},
        {"QV_TCPConnect", {Arg(host), static_cast<std::uint32_t>(tcp)}, 1},
        {"QV_WriteRegister", {1, qvreg::kSameCardDelay, 0x21}, 1},
        {"QV_WriteMultiRegister", {1, qvreg::kSameCardDelay, 1, Arg(delay)}, 1},
        {"QV_GetDeviceInfo", {1, Arg(buf)}, 12, "51 56 2D 4C 46 31 32 35"},  // "QV-LF125"
        {"QV_DownKey", {1, Arg(six)}, 1},
        {"QV_DownKeyEx", {1, 2, Arg(sixteen)}, 1},
        {"QV_SetBaseRegisterAddr", {1, 0}, 1},
        {"QV_SetPermission", {1, 1, Arg(sixteen)}, 1},
        {"QV_SetDeviceTermNO", {1, Arg(six)}, 1},
        {"QV_ReadRegister", {1, 0x2000, 1, Arg(buf)}, -1, nullptr, QV_E_EXCEPTION_BASE + 2},  // no such register
        {"QV_TCPFree", {}, 1},
    };
    for (const Case &c : cases) {
        const void *fn = reinterpret_cast<const void *>(GetProcAddress(dll, c.name));
        ASSERT_NE(fn, nullptr) << c.name << " is not exported under its plain name";
        Outcome o = CallByHand(fn, c.args);
        DWORD lastError = GetLastError();
        EXPECT_EQ(o.leftBytes, 0) << c.name << " left its arguments on the stack: not stdcall";
        EXPECT_EQ(o.result, c.result) << c.name;
        if (c.result <= 0) {
            EXPECT_EQ(lastError, c.lastError) << c.name;
        }
        if (c.bufHex) {
            EXPECT_EQ(ToHex(Bytes(buf, buf + 8)), c.bufHex) << c.name;
        }
    }
    FreeLibrary(dll);
}
