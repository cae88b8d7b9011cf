// libsql-server as a child process, and the ODBC configuration that reaches it.
#include "tests/server/server_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/support.h"

namespace server_test {

namespace fs = std::filesystem;

namespace {

const char* kDriver = "/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so";

fs::path FreshDir(const std::string& what) {
  static int serial = 0;
  fs::path d = fs::temp_directory_path() / ("libupgrade-" + what + "-" + std::to_string(getpid()) +
                                            "-" + std::to_string(++serial));
  fs::remove_all(d);
  fs::create_directories(d);
  return d;
}

}  // namespace

ServerProcess::ServerProcess(const fs::path& db, const std::vector<std::string>& logins) {
  err_ = db.parent_path() / ("server-" + std::to_string(getpid()) + ".log");
  int out[2];
  if (pipe(out) != 0) throw std::runtime_error("pipe");
  std::vector<std::string> args = {(testing_support::BinDir() / "libsql-server").string(), "-d",
                                   db.string(), "--listen", "127.0.0.1:0"};
  for (const std::string& l : logins) {
    args.push_back("--login");
    args.push_back(l);
  }
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out[1], 1);
    FILE* err = std::fopen(err_.c_str(), "w");
    if (err) dup2(fileno(err), 2);
    close(out[0]);
    close(out[1]);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  // "listening on 127.0.0.1:PORT"
  std::string line;
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
  close(out[0]);
  const std::string prefix = "listening on 127.0.0.1:";
  if (line.rfind(prefix, 0) != 0) {
    Stop();
    throw std::runtime_error("libsql-server did not start: '" + line + "' " + log());
  }
  port_ = std::stoi(line.substr(prefix.size()));
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) Stop();
}

int ServerProcess::Stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ServerProcess::log() const {
  std::ifstream in(err_);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

OdbcConfig::OdbcConfig() : dir_(FreshDir("odbc")) {
  setenv("ODBCSYSINI", dir_.c_str(), 1);
  setenv("ODBCINI", (dir_ / "odbc.ini").c_str(), 1);
  Write();
}

OdbcConfig::~OdbcConfig() {
  unsetenv("ODBCSYSINI");
  unsetenv("ODBCINI");
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

std::string OdbcConfig::AddDataSource(const std::string& name, int port,
                                      const std::map<std::string, std::string>& attributes) {
  std::map<std::string, std::string> a = {{"Driver", "FreeTDS"},
                                          {"Server", "127.0.0.1"},
                                          {"Port", std::to_string(port)},
                                          {"TDS_Version", "7.4"},
                                          {"ClientCharset", "GBK"}};
  for (const auto& [k, v] : attributes) a[k] = v;
  const std::string unique = name + "_" + std::to_string(port);
  sources_[unique] = a;
  Write();
  return unique;
}

std::string OdbcConfig::Environment() const {
  return "ODBCSYSINI=" + dir_.string() + " ODBCINI=" + (dir_ / "odbc.ini").string();
}

void OdbcConfig::Write() const {
  std::ofstream(dir_ / "odbcinst.ini") << "[FreeTDS]\nDriver=" << kDriver << "\n";
  std::ofstream ini(dir_ / "odbc.ini");
  for (const auto& [name, attrs] : sources_) {
    ini << "[" << name << "]\n";
    for (const auto& [k, v] : attrs) ini << k << "=" << v << "\n";
    ini << "\n";
  }
}

}  // namespace server_test
