// SPDX-License-Identifier: BSD-2-Clause
#include "host_platform.h"

#include <cstring>
#include <type_traits>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace abi {

#if defined(__i386__)
// Aligns the stack to 16 bytes, lowers it by `pad` bytes, pushes the arguments right to
// left, calls the function, and measures how far the stack pointer moved back during the
// call: a stdcall callee removes its own arguments, so the distance is their size; a cdecl
// callee leaves them and the distance is 0.
extern "C" int32_t __attribute__((cdecl))
abi_stdcall_probe(const void* function, const uint32_t* arguments, int32_t count,
                  int32_t* popped_bytes, int32_t pad) __asm__("abi_stdcall_probe");

__asm__(
    ".text\n"
    ".globl abi_stdcall_probe\n"
    "abi_stdcall_probe:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %ebx\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    movl %esp, %esi\n"          // stack pointer to restore
    "    andl $-16, %esp\n"
    "    subl 24(%ebp), %esp\n"      // pad
    "    movl 16(%ebp), %ecx\n"      // count
    "    movl 12(%ebp), %edx\n"      // arguments
    "1:  testl %ecx, %ecx\n"
    "    jz 2f\n"
    "    decl %ecx\n"
    "    pushl (%edx,%ecx,4)\n"
    "    jmp 1b\n"
    "2:  movl %esp, %ebx\n"          // stack pointer with the arguments pushed
    "    call *8(%ebp)\n"
    "    movl %esp, %ecx\n"
    "    subl %ebx, %ecx\n"
    "    movl 20(%ebp), %edx\n"
    "    movl %ecx, (%edx)\n"
    "    movl %esi, %esp\n"
    "    popl %edi\n"
    "    popl %esi\n"
    "    popl %ebx\n"
    "    popl %ebp\n"
    "    ret\n");

bool can_measure_stack() { return true; }

bool call_measuring_stack(const void* function, const uint32_t* arguments, int count,
                          int32_t* result, int32_t* popped_bytes, int misalign_bytes) {
    constexpr int kStackAlignment = 16;
    constexpr int kArgumentBytes = 4;
    // At the call the stack pointer lies misalign_bytes below a 16-byte boundary.
    const int pad = ((misalign_bytes - kArgumentBytes * count) % kStackAlignment + kStackAlignment) %
                    kStackAlignment;
    *result = abi_stdcall_probe(function, arguments, count, popped_bytes, pad);
    return true;
}
#else
bool can_measure_stack() { return false; }

bool call_measuring_stack(const void*, const uint32_t*, int, int32_t*, int32_t*, int) {
    return false;
}
#endif

uint32_t pointer_argument(const void* pointer) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

const char* platform_name(const ExportInfo& info) {
    return kHasOrdinals ? info.decorated : info.name;
}

void assign_export(Exports& exports, int index, void* address) {
    // Function and object pointers share one representation on every platform the
    // host runs on; the library hands its entries out as plain addresses.
    auto set = [address](auto& slot) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(address);
    };
    switch (index) {
    case 0: set(exports.SetFactoryDefaults); break;
    case 1: set(exports.AutoDetect); break;
    case 2: set(exports.Abort); break;
    case 3: set(exports.GetErrString); break;
    case 4: set(exports.ConvertFile); break;
    case 5: set(exports.GetThreadBufRecCount); break;
    case 6: set(exports.GetThreadBufRecSize); break;
    case 7: set(exports.ReadThreadBufData); break;
    case 8: set(exports.GetThreadBufSize); break;
    case 9: set(exports.SetThreadBufSize); break;
    default: break;
    }
}

#if defined(_WIN32)
Library::~Library() {
    if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
}

bool Library::open(const std::string& path, std::string& reason) {
    handle_ = LoadLibraryA(path.c_str());
    if (handle_ == nullptr) {
        reason = "LoadLibrary failed with error " + std::to_string(GetLastError());
        return false;
    }
    return true;
}

void* Library::by_name(const char* name) const {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void* Library::by_ordinal(int ordinal) const {
    return reinterpret_cast<void*>(GetProcAddress(
        static_cast<HMODULE>(handle_), reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(ordinal))));
}

bool change_directory(const std::string& path) {
    return SetCurrentDirectoryA(path.c_str()) != 0;
}
#else
Library::~Library() {
    if (handle_ != nullptr) dlclose(handle_);
}

bool Library::open(const std::string& path, std::string& reason) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* text = dlerror();
        reason = text != nullptr ? text : "dlopen failed";
        return false;
    }
    return true;
}

void* Library::by_name(const char* name) const { return dlsym(handle_, name); }

void* Library::by_ordinal(int) const { return nullptr; }

bool change_directory(const std::string& path) { return chdir(path.c_str()) == 0; }
#endif

}  // namespace abi
