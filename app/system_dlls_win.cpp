// The system DLLs that are no KnownDLLs, bound at their first use from System32 alone, through
// forwarding functions generated from app/system_dlls.inc.
#include <windows.h>
// First, before anything else could declare WinINet's functions dllimport.
#include "base/wininet_win.h"
#include <bcrypt.h>
#include <objidl.h>
#include <oleacc.h>

#include <algorithm>
#include <cstddef>
#include <tuple>
// GDI+'s headers want min and max unqualified.
using std::max;
using std::min;
#include <gdiplus.h>

#include "app/dll_search.h"
#include "base/exit_code.h"
#include "base/log.h"

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace {

enum SystemDllId {
#define SYSTEM_DLL(name, file) k##name,
#define SYSTEM_FUNCTION(dll, function, parameters)
#include "app/system_dlls.inc"
#undef SYSTEM_DLL
#undef SYSTEM_FUNCTION
    kSystemDllCount
};

enum SystemFunctionId {
#define SYSTEM_DLL(name, file)
#define SYSTEM_FUNCTION(dll, function, parameters) kFunction_##function,
#include "app/system_dlls.inc"
#undef SYSTEM_DLL
#undef SYSTEM_FUNCTION
    kSystemFunctionCount
};

const char* const kDllFile[kSystemDllCount] = {
#define SYSTEM_DLL(name, file) file,
#define SYSTEM_FUNCTION(dll, function, parameters)
#include "app/system_dlls.inc"
#undef SYSTEM_DLL
#undef SYSTEM_FUNCTION
};

const wchar_t* const kDllFileWide[kSystemDllCount] = {
#define SYSTEM_DLL(name, file) L"" file,
#define SYSTEM_FUNCTION(dll, function, parameters)
#include "app/system_dlls.inc"
#undef SYSTEM_DLL
#undef SYSTEM_FUNCTION
};

struct FunctionEntry {
    SystemDllId dll;
    const char* name;
};

const FunctionEntry kFunctions[kSystemFunctionCount] = {
#define SYSTEM_DLL(name, file)
#define SYSTEM_FUNCTION(dll, function, parameters) {k##dll, #function},
#include "app/system_dlls.inc"
#undef SYSTEM_DLL
#undef SYSTEM_FUNCTION
};

// Written once per DLL inside its INIT_ONCE, read after it: the one-time initialisation orders them.
// void (*)() is the type that casts to any other function pointer without a warning.
using AnyFunction = void (*)();
AnyFunction functionSlots[kSystemFunctionCount];
INIT_ONCE dllOnce[kSystemDllCount] = {};

// These are system DLLs, so a missing one or a missing function means a broken system: say so in
// the log and end, before any of its functions has been called.
BOOL CALLBACK BindDll(PINIT_ONCE, PVOID parameter, PVOID*) {
    const int dll = static_cast<int>(reinterpret_cast<INT_PTR>(parameter));
    HMODULE module = static_cast<HMODULE>(LoadSystemDll(kDllFileWide[dll]));
    if (!module) {
        WriteLog("cannot load the system DLL %s (error %lu)", kDllFile[dll], GetLastError());
        TerminateProcess(GetCurrentProcess(), kExitFailure);
    }
    for (int function = 0; function < kSystemFunctionCount; ++function) {
        if (kFunctions[function].dll != dll) continue;
        functionSlots[function] = reinterpret_cast<AnyFunction>(GetProcAddress(module, kFunctions[function].name));
        if (!functionSlots[function]) {
            WriteLog("the system DLL %s has no %s (error %lu)", kDllFile[dll], kFunctions[function].name,
                     GetLastError());
            TerminateProcess(GetCurrentProcess(), kExitFailure);
        }
    }
    return TRUE;
}

AnyFunction SystemFunction(SystemFunctionId function) {
    const int dll = kFunctions[function].dll;
    InitOnceExecuteOnce(&dllOnce[dll], BindDll, reinterpret_cast<PVOID>(static_cast<INT_PTR>(dll)), nullptr);
    return functionSlots[function];
}

// The parameter and result types of a declared function, so that each forwarder below repeats
// the SDK's declaration exactly (a wrong parameter count in the list does not compile).
template <typename F>
struct Signature;
template <typename R, typename... A>
struct Signature<R WINAPI(A...)> {
    using Result = R;
    using Pointer = R(WINAPI*)(A...);
    template <std::size_t I>
    using Arg = std::tuple_element_t<I, std::tuple<A...>>;
};

}  // namespace

#define SYSTEM_PARAMS_1(f) Signature_##f::Arg<0> a0
#define SYSTEM_PARAMS_2(f) SYSTEM_PARAMS_1(f), Signature_##f::Arg<1> a1
#define SYSTEM_PARAMS_3(f) SYSTEM_PARAMS_2(f), Signature_##f::Arg<2> a2
#define SYSTEM_PARAMS_4(f) SYSTEM_PARAMS_3(f), Signature_##f::Arg<3> a3
#define SYSTEM_PARAMS_5(f) SYSTEM_PARAMS_4(f), Signature_##f::Arg<4> a4
#define SYSTEM_PARAMS_6(f) SYSTEM_PARAMS_5(f), Signature_##f::Arg<5> a5
#define SYSTEM_PARAMS_7(f) SYSTEM_PARAMS_6(f), Signature_##f::Arg<6> a6
#define SYSTEM_PARAMS_8(f) SYSTEM_PARAMS_7(f), Signature_##f::Arg<7> a7
#define SYSTEM_ARGS_1 a0
#define SYSTEM_ARGS_2 SYSTEM_ARGS_1, a1
#define SYSTEM_ARGS_3 SYSTEM_ARGS_2, a2
#define SYSTEM_ARGS_4 SYSTEM_ARGS_3, a3
#define SYSTEM_ARGS_5 SYSTEM_ARGS_4, a4
#define SYSTEM_ARGS_6 SYSTEM_ARGS_5, a5
#define SYSTEM_ARGS_7 SYSTEM_ARGS_6, a6
#define SYSTEM_ARGS_8 SYSTEM_ARGS_7, a7

#define SYSTEM_DLL(name, file)
#define SYSTEM_FUNCTION(dll, function, parameters)                                                 \
    using Signature_##function = Signature<decltype(function)>;                                    \
    extern "C" Signature_##function::Result WINAPI function(SYSTEM_PARAMS_##parameters(function)) { \
        return reinterpret_cast<Signature_##function::Pointer>(                                    \
            SystemFunction(kFunction_##function))(SYSTEM_ARGS_##parameters);                      \
    }
#include "app/system_dlls.inc"
#undef SYSTEM_DLL
#undef SYSTEM_FUNCTION
