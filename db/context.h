// What an upgrade step and a reference-data loader work with: the three query
// components on the one connection, the view, and the folder of the data files.
#pragma once

#include <filesystem>
#include <vector>

#include "db/query.h"
#include "db/view.h"

namespace db {

struct StepContext {
  Query& qrTmp;   // ledger, probes, single statements
  Query& qrTmp1;  // row walks, and statements inside a walk on qrTmp
  Query& qrTmp2;  // statements inside a walk on qrTmp1
  UpgradeView& view;
  // Folders searched, in order, for zzm.dat, other.dat and MarcRule.txt
  // (refdata::LocateDataFile); the export writes into the last
  // (refdata::DataFolder).
  std::vector<std::filesystem::path> data_dirs;
};

}  // namespace db
