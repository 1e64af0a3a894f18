#include "tessera_plus/bundle/update/file_action.h"

#include "tessera_plus/bundle/store/minbar_writer.h"

namespace tessera_plus::bundle {

std::string_view action_name(FileAction action) {
  switch (action) {
    case FileAction::kCreate:
      return "create";
    case FileAction::kExtend:
      return "extend";
    case FileAction::kRepair:
      return "repair";
    case FileAction::kRebuild:
      return "rebuild";
    case FileAction::kUpToDate:
      return "up to date";
    case FileAction::kFail:
      return "fail";
  }
  return "?";
}

FileStart file_start(bool exists, bool rebuild) {
  if (!exists) return FileStart::kCreate;
  return rebuild ? FileStart::kReplace : FileStart::kInPlace;
}

FileAction minbar_in_place_action(const MinbarEnd& end, int next_date, int last_date) {
  switch (end.state) {
    case MinbarEnd::State::kNoIndex:
      return FileAction::kRebuild;
    case MinbarEnd::State::kToRepair:
      return FileAction::kRepair;
    case MinbarEnd::State::kSound:
      break;
  }
  // The writer stops at a file whose last day is on or after the de-listing, and asks for no
  // bars when the next trading day is past the end.
  if (end.last_entry.date >= last_date || next_date > last_date) return FileAction::kUpToDate;
  return FileAction::kExtend;
}

}  // namespace tessera_plus::bundle
