// SPDX-License-Identifier: BSD-2-Clause
// What the ABI test host needs from its platform: loading the library and finding its
// exports, calling a stdcall function while watching the stack, and the working folder.
// On 32-bit Windows the exports are found by decorated name and by ordinal; elsewhere by
// their plain names.
#pragma once

#include <cstdint>
#include <string>

#include "kestrel/kestrel.h"

namespace abi {

#if defined(_WIN32)
constexpr bool kHasOrdinals = true;
constexpr bool kTextModeWritesCrlf = true;
#else
constexpr bool kHasOrdinals = false;
constexpr bool kTextModeWritesCrlf = false;
#endif

// True where call_measuring_stack can watch a call (32-bit x86 only).
bool can_measure_stack();

// The ten exports, typed as the contract declares them.
struct Exports {
    decltype(&::SetFactoryDefaults) SetFactoryDefaults = nullptr;
    decltype(&::AutoDetect) AutoDetect = nullptr;
    decltype(&::Abort) Abort = nullptr;
    decltype(&::GetErrString) GetErrString = nullptr;
    decltype(&::ConvertFile) ConvertFile = nullptr;
    decltype(&::GetThreadBufRecCount) GetThreadBufRecCount = nullptr;
    decltype(&::GetThreadBufRecSize) GetThreadBufRecSize = nullptr;
    decltype(&::ReadThreadBufData) ReadThreadBufData = nullptr;
    decltype(&::GetThreadBufSize) GetThreadBufSize = nullptr;
    decltype(&::SetThreadBufSize) SetThreadBufSize = nullptr;
};

// One export of the contract: plain and decorated name, ordinal, bytes of arguments.
struct ExportInfo {
    const char* name;
    const char* decorated;
    int ordinal;
    int argument_bytes;
};

constexpr ExportInfo kExportTable[] = {
    {"SetFactoryDefaults", "_SetFactoryDefaults@8", 1, 8},
    {"AutoDetect", "_AutoDetect@4", 2, 4},
    {"Abort", "_Abort@0", 3, 0},
    {"GetErrString", "_GetErrString@4", 4, 4},
    {"ConvertFile", "_ConvertFile@12", 5, 12},
    {"GetThreadBufRecCount", "_GetThreadBufRecCount@8", 6, 8},
    {"GetThreadBufRecSize", "_GetThreadBufRecSize@8", 7, 8},
    {"ReadThreadBufData", "_ReadThreadBufData@16", 8, 16},
    {"GetThreadBufSize", "_GetThreadBufSize@0", 9, 0},
    {"SetThreadBufSize", "_SetThreadBufSize@4", 10, 4},
};
constexpr int kExportCount = sizeof(kExportTable) / sizeof(kExportTable[0]);

// The name under which this platform's library exports an entry.
const char* platform_name(const ExportInfo& info);

// Stores the entry found under the export's name in the matching member of `exports`.
void assign_export(Exports& exports, int index, void* address);

class Library {
public:
    Library() = default;
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    ~Library();

    // False with a reason when the library cannot be loaded.
    bool open(const std::string& path, std::string& reason);
    // The address exported under `name`, or null.
    void* by_name(const char* name) const;
    // The address exported under `ordinal`, or null (always null without ordinals).
    void* by_ordinal(int ordinal) const;

private:
    void* handle_ = nullptr;
};

// Calls `function` with `count` 32-bit arguments as a stdcall function and reports its
// result and how many bytes of arguments it removed from the stack on return. At the call
// the stack pointer lies `misalign_bytes` below a 16-byte boundary (0: aligned).
bool call_measuring_stack(const void* function, const uint32_t* arguments, int count,
                          int32_t* result, int32_t* popped_bytes, int misalign_bytes = 0);

// 32-bit value of a pointer for call_measuring_stack (meaningful on 32-bit x86 only).
uint32_t pointer_argument(const void* pointer);

bool change_directory(const std::string& path);

}  // namespace abi
