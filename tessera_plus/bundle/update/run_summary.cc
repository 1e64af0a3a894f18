#include "tessera_plus/bundle/update/run_summary.h"

#include <fmt/format.h>

namespace tessera_plus::bundle {

void print_run_summary(const RunTotals& totals, std::ostream& out) {
  out << fmt::format("更新结束：{} 个标的已更新，{} 个无变化，{} 项失败，重试 {} 次",
                     totals.updated, totals.unchanged, totals.failed, totals.retries);
  if (totals.revised_days > 0) out << fmt::format("，修订 {} 个交易日", totals.revised_days);
  out << '\n';
  if (totals.failed > 0) {
    out << "失败的标的及原因：\n";
    for (const RunFailure& f : totals.failures) {
      out << fmt::format("  {}：{}\n", f.what, f.reason);
    }
    if (totals.failed > totals.failures.size()) {
      out << fmt::format("  另有 {} 项失败未列出\n", totals.failed - totals.failures.size());
    }
  }
  out.flush();
}

}  // namespace tessera_plus::bundle
