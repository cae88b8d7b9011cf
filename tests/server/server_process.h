// What the server tests share: libsql-server started on a free loopback port
// over a database file, and ODBC data sources of a temporary odbc.ini that
// reach it through the FreeTDS driver, as a library's machine would.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace server_test {

// libsql-server over one database file, from start to SIGTERM.
class ServerProcess {
 public:
  // Starts the server on 127.0.0.1 with a free port and the given --login
  // arguments, and waits for its "listening on" line.
  ServerProcess(const std::filesystem::path& db, const std::vector<std::string>& logins);
  // Stops it with SIGTERM if it still runs.
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  int port() const { return port_; }
  // Sends SIGTERM and waits; the exit status as waitpid gives it, decoded
  // (-1 when killed by a signal). Its standard error is in log() after.
  int Stop();
  std::string log() const;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::filesystem::path err_;
};

// The odbcinst.ini and odbc.ini of a temporary folder, made the process's
// ODBC configuration (ODBCSYSINI, ODBCINI). Each data source reaches the
// port with the FreeTDS driver; attributes are added to or replace
// Driver, Server, Port, TDS_Version=7.4 and ClientCharset=GBK.
class OdbcConfig {
 public:
  OdbcConfig();
  ~OdbcConfig();
  OdbcConfig(const OdbcConfig&) = delete;
  OdbcConfig& operator=(const OdbcConfig&) = delete;

  // Returns the data source's name: name_PORT, since the driver manager
  // keeps what it has read of an odbc.ini for a while, and a name reused for
  // another server would reach the old one.
  std::string AddDataSource(const std::string& name, int port,
                            const std::map<std::string, std::string>& attributes = {});
  const std::filesystem::path& dir() const { return dir_; }
  // "ODBCSYSINI=... ODBCINI=..." for a shell command.
  std::string Environment() const;

 private:
  void Write() const;
  std::filesystem::path dir_;
  std::map<std::string, std::map<std::string, std::string>> sources_;
};

}  // namespace server_test
