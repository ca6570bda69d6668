// SPDX-License-Identifier: BSD-2-Clause
// The quality check as a JSON document: one object per log under "logs", every figure of the
// summary, a figure that could not be computed as null.
#pragma once

#include <string>
#include <vector>

#include "qc/qc_report.h"

namespace kestrel::cli {

// Version of the document's layout: raised when a key changes meaning or goes.
constexpr int kQcJsonVersion = 1;

// One log's object (compact text), and the document made of such objects (a batch's workers
// each make their log's).
std::string QcJsonLog(const QcReport& report);
std::string QcJsonDocument(const std::vector<std::string>& logs, const std::string& program);

}  // namespace kestrel::cli
