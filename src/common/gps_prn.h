// SPDX-License-Identifier: BSD-2-Clause
// The GPS satellites this system decodes, by PRN: the one range every decoder, output and
// table indexed by PRN takes.
#pragma once

namespace kestrel {

constexpr int kFirstGpsPrn = 1;
constexpr int kLastGpsPrn = 32;
// Tables indexed by PRN have a slot for each, and slot 0 unused.
constexpr int kGpsPrnSlots = kLastGpsPrn + 1;

constexpr bool IsGpsPrn(int prn) { return prn >= kFirstGpsPrn && prn <= kLastGpsPrn; }

}  // namespace kestrel
