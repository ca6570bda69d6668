// SPDX-License-Identifier: BSD-2-Clause
// Internal face of the plug-in layer: the conversion behind ConvertFile, for hosts inside this
// project that start every conversion afresh, and the output-name rule of the driver.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kestrel/kestrel.h"
#include "pipeline/session.h"

namespace kestrel {

// ConvertFile with the solver's starting point chosen: ConvertFile continues from the last
// solution of the conversion before, as hosts of the plug-in expect; the command starts each
// conversion afresh, so that a log's files do not depend on the logs converted before it.
int32_t RunConversion(OptionBlock* options, CallbackBlock* callbacks, SolverStart solver);

// Replaces the extension of a NUL-terminated name in place (or appends it). Leading
// blanks are dropped first; an extension is the part from the last dot that follows the
// last directory separator ('\' or '/'). `capacity` is the size of the name's buffer.
// False, leaving the name unchanged, when the result would not fit.
bool replaceExtension(char* name, std::size_t capacity, const char* extension);

}  // namespace kestrel
