// The plan of an update without running it (a dry run): which base data would be refreshed, which
// instrument files would be created, extended, repaired or rebuilt, over which dates, and about how
// many rows. Nothing is written: no file is created or modified, the bundle's run lock is not
// taken. The service is asked what the real run asks before it writes (the instruments a tag
// names, their listings, the trading days), so the client must be set up as for the real run.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tessera_plus/bundle/update/file_action.h"
#include "tessera_plus/bundle/update/update_request.h"

namespace tessera_plus::bundle {

struct PlannedFile {
  std::string order_book_id{};
  std::string path{};  // relative to the bundle root: "bundle/h5/equities/000001.XSHE.h5"
  bool tick = false;
  FileAction action = FileAction::kUpToDate;
  // The trading days the update asks the service for (YYYYMMDD); 0 when it asks for none or,
  // for a repair, where the sound part ends is known only once the file is cut back.
  int first_date = 0;
  int last_date = 0;
  // Rows the file would gain: trading days times a typical day of this file (its own average
  // when it has one), so an order of magnitude, not a count.
  std::uint64_t estimated_rows = 0;
  std::string note{};  // why, when the action alone does not say (a check deleted it, an error)
};

struct BaseDataPlan {
  bool refreshed = false;            // base data comes first in the real run
  bool created = false;              // the bundle directory does not exist yet: every file is new
  std::vector<std::string> files{};  // relative to the bundle root
};

struct UpdatePlan {
  std::string command;  // "update" or "smart-update"
  std::string data_bundle_path;
  int end_date = 0;  // the last complete trading date the run would fetch up to (YYYYMMDD)
  BaseDataPlan base{};
  std::vector<PlannedFile> files{};

  // Files by action, for the summary line.
  std::size_t count(FileAction action) const;
  std::uint64_t estimated_rows() const;
};

// The plan of update_bundle_from_tallow(request). The rebuild question is not asked: the plan
// shows the rebuild it would confirm.
UpdatePlan plan_update(const UpdateRequest& request);

// The plan of update_bundle_from_exist_file(concurrency, data_bundle_path).
UpdatePlan plan_smart_update(const std::string& data_bundle_path);

// The plan for people: the base data, one line per instrument file, then the totals.
void print_update_plan(const UpdatePlan& plan, std::ostream& out);

}  // namespace tessera_plus::bundle
