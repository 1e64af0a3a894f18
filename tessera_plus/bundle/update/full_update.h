// The full update: base data, then minute bars and ticks of the instruments the user names.
#pragma once

#include <iostream>

#include "tessera_plus/bundle/update/update_request.h"

namespace tessera_plus::bundle {

// Brings the bundle under `request.data_bundle_path` up to date from the market-data service, with
// the client as the caller initialised it. A rebuild is confirmed first through
// `request.confirm_rebuild`. A refusal, or missing Beijing-exchange permission, throws
// ExitRequest(0): the program ends without any further step. True unless a step that ran
// reported failure; every requested step runs.
bool update_bundle_from_tallow(const UpdateRequest& request);

// The rebuild question on the console: prints
// "本次会将指定的[合约分钟]和[合约tick]的h5文件从头进行更新， 是否确认?[Y/n]" and reads one line
// from `in`, up to REBUILD_COMFIRM_RETRY_TIMES times. Exactly "Y" confirms; exactly "n", or the
// last unrecognised answer, declines. Error when `in` ends first.
RebuildDecision ask_rebuild_confirmation(std::istream& in);

}  // namespace tessera_plus::bundle
