// What an update does to one instrument's file, decided in one place for the writers and for the
// plan of a dry run, so that the plan says what the next real run does.
#pragma once

#include <string_view>

namespace tessera_plus::bundle {

struct MinbarEnd;  // store/minbar_writer.h

enum class FileAction {
  kCreate,    // the file is not there: built from the instrument's first date
  kExtend,    // the days after the file's last one are appended
  kRepair,    // a tail that cannot be right is cut back, then the file is extended
  kRebuild,   // built anew from the first date (asked for, a file a check deleted, no index)
  kUpToDate,  // nothing to fetch: the file ends on the last complete trading day
  kFail,      // the update cannot work on it (the file cannot be read, an unknown instrument)
};

// "create", "extend", "repair", "rebuild", "up to date", "fail".
std::string_view action_name(FileAction action);

// The writers' first step, taken before a file is read: a missing file is created, one the user
// asked to rebuild is built anew beside it and renamed over it once complete (until then it stays
// as it was, readable and extended by the next update should this one be stopped), any other is
// updated where it stands.
enum class FileStart { kCreate, kReplace, kInPlace };
FileStart file_start(bool exists, bool rebuild);

// What an update in place does to an existing minute-bar file that ends as `end` says, when the
// trading day after its last one is `next_date` and the bars wanted end on `last_date` (the end
// date, or the day the instrument was de-listed). All dates YYYYMMDD.
FileAction minbar_in_place_action(const MinbarEnd& end, int next_date, int last_date);

}  // namespace tessera_plus::bundle
