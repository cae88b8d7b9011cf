// The data module's reading of the connection parameters before it connects,
// the same on every system (the store itself: registry_file.cpp on Linux,
// registry_windows.cpp on Windows).
#include "db/registry.h"

#include "text/gbk.h"
#include "text/param_codec.h"

namespace db {

ConnectParams LoadConnectParams(const Registry& registry) {
  ConnectParams p;
  if (!registry.KeyExists(kLibKey)) return p;
  p.data_source = text::Trim(registry.ReadString(kLibKey, "ODBCNAME"));
  p.user = text::DecodeParam(text::Trim(registry.ReadString(kLibKey, "USERNAME")));
  p.password = text::DecodeParam(text::Trim(registry.ReadString(kLibKey, "PASSWORD")));
  return p;
}

}  // namespace db
