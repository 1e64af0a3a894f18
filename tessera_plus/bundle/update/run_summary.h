// The end of an update run as the user sees it: one line of totals, and the failures.
#pragma once

#include <ostream>

#include "tessera_plus/base/run_report.h"

namespace tessera_plus::bundle {

// Writes "更新结束：{} 个标的已更新，{} 个无变化，{} 项失败，重试 {} 次" (followed by
// "，修订 {} 个交易日" when stored days were found revised) and, when anything
// failed, "失败的标的及原因：" with one "  {what}：{reason}" line per failure, at most
// RunReport::kShownFailures of them, then "  另有 {} 项失败未列出" for the rest.
void print_run_summary(const RunTotals& totals, std::ostream& out);

}  // namespace tessera_plus::bundle
