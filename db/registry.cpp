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

bool SaveConnectParams(Registry& registry, std::string_view key, const ConnectParams& params) {
  // All three are made ready before anything is created or written.
  const std::string odbc = text::Trim(params.data_source);
  const std::string user = text::EncodeParam(text::Trim(params.user));
  const std::string password = text::EncodeParam(text::Trim(params.password));
  const std::string parent = "SOFTWARE\\Quorvant";
  for (const std::string& k : {parent, std::string(key)}) {
    if (!registry.KeyExists(k) && !registry.OpenKeyForWrite(k, true))
      throw RegistryError(text::Gbk("无法创建注册表项 HKEY_LOCAL_MACHINE\\") + k);
  }
  if (!registry.OpenKeyForWrite(key, true)) return false;
  registry.WriteString(key, "ODBCNAME", odbc);
  registry.WriteString(key, "USERNAME", user);
  registry.WriteString(key, "PASSWORD", password);
  return true;
}

}  // namespace db
