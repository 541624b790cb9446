// What the parts of "vesk-index fetch" share.
#pragma once

#include <string>
#include <vector>

#include "fetch_tool.h"
#include "manifest.h"
#include "config/state.h"

namespace vesk::fetch {

// The map file of the map called `map` ("passwd", ...) on this host.
std::string target_of(const FetchOptions &o, const std::string &map);
tool::Db db_of(const std::string &map);
// The map's file and its indexes.
std::vector<std::string> installed_files(const FetchOptions &o, const std::string &map);

// Records the maps and indexes of `m` as they now are (STATE_DIR/
// fetch.installed); a map's hash is taken from `previous` or computed only
// when install left lines out of it.
bool record_installed(const FetchOptions &o, const Manifest &m,
                      const tool::InstalledRecord *previous, std::string *error);
// "" when every file of `installed` is as recorded (*touched: some had only
// their time changed, and the record deserves refreshing); else what changed.
std::string find_drift(const FetchOptions &o, const Manifest &installed, bool *touched);

}  // namespace vesk::fetch
