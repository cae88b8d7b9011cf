// libsql-server: the embedded engine's database served over TDS, the
// protocol SQL Server speaks, so that ODBC with FreeTDS, tsql and any other
// SQL Server client can work with it. A test and demo server: loopback by
// default, no encryption, logins from the command line.
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>

#include "engine/engine.h"
#include "libupgrade/version.h"
#include "server/server.h"

namespace {

const char kUsage[] =
    "usage: libsql-server -d FILE [--listen ADDR:PORT] [--login USER:PASSWORD]...\n"
    "                     [--login-timeout SECONDS]\n"
    "\n"
    "Serves the embedded database FILE over TDS 7.4 (7.1 to 7.3 for older clients),\n"
    "the protocol SQL Server speaks, to ODBC with FreeTDS, tsql and other clients.\n"
    "\n"
    "  -d FILE                 the database file (it must exist; make one with libsql)\n"
    "  --listen ADDR:PORT      where to listen (default 127.0.0.1:1433; port 0: any free\n"
    "                          port; an IPv6 address in brackets, [::1]:1433); prints\n"
    "                          \"listening on ADDR:PORT\" once it accepts\n"
    "  --login USER:PASSWORD   a SQL Server login the server accepts; may be repeated\n"
    "                          (default: sa with an empty password)\n"
    "  --login-timeout SECONDS how long a client may take to log in (default 30)\n"
    "  --help                  this text\n"
    "  --version               the release and this build's version\n"
    "\n"
    "The database is in code page 936 with the collation Chinese_PRC_CI_AS; clients\n"
    "convert to their own character set (FreeTDS: ClientCharset). SIGTERM or SIGINT\n"
    "stops it: open transactions are rolled back and the database is checkpointed.\n"
    "\n"
    "This is a test and demo server, not a hardened one: it does not encrypt, sends\n"
    "and checks passwords as given on its command line, and trusts its clients with\n"
    "the whole database. Keep it on the loopback interface.\n"
    "\n"
    "Exit status:\n"
    "  0  stopped by SIGTERM or SIGINT, the database checkpointed (or --help, --version)\n"
    "  1  the database could not be opened, served or written; the committed changes\n"
    "     stay in the journal FILE-journal, which the next opening replays\n"
    "  2  a usage error\n";

server::Server* g_server = nullptr;

void OnSignal(int) {
  if (g_server) g_server->Stop();
}

int Fail(const std::string& message) {
  std::cerr << "libsql-server: " << message << "\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string file, listen = "127.0.0.1:1433";
  server::ServerIdentity id;
  bool logins_given = false;
  std::chrono::milliseconds login_timeout{30000};
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
      return argv[++i];
    };
    try {
      if (a == "--help" || a == "-h") {
        std::cout << kUsage;
        return 0;
      } else if (a == "--version") {
        std::cout << libupgrade::VersionText("libsql-server");
        return 0;
      } else if (a == "-d") {
        file = value();
      } else if (a == "--listen") {
        listen = value();
      } else if (a == "--login-timeout") {
        std::string t = value();
        char* end = nullptr;
        double seconds = std::strtod(t.c_str(), &end);
        if (t.empty() || *end != '\0' || !(seconds > 0) || seconds > 86400)
          return Fail("--login-timeout takes a number of seconds, got '" + t + "'");
        login_timeout = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
      } else if (a == "--login") {
        std::string l = value();
        std::size_t colon = l.find(':');
        if (colon == std::string::npos || colon == 0)
          return Fail("--login takes USER:PASSWORD, got '" + l + "'");
        if (!logins_given) id.logins.clear();
        logins_given = true;
        id.logins.push_back({l.substr(0, colon), l.substr(colon + 1)});
      } else {
        return Fail("unknown option " + a + "\n" + kUsage);
      }
    } catch (const std::invalid_argument& e) {
      return Fail(e.what());
    }
  }
  if (file.empty()) return Fail("no database file (-d FILE)\n" + std::string(kUsage));
  if (!logins_given) id.logins.push_back({"sa", ""});
  std::size_t colon = listen.rfind(':');
  if (colon == std::string::npos) return Fail("--listen takes ADDR:PORT, got '" + listen + "'");
  std::string host = listen.substr(0, colon);
  char* end = nullptr;
  long port = std::strtol(listen.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || port < 0 || port > 65535 || colon + 1 == listen.size())
    return Fail("--listen takes ADDR:PORT, got '" + listen + "'");
  id.db_name = std::filesystem::path(file).stem().string();
  // The engine would answer a missing file as a server answers a database it
  // does not have, with a refused login.
  if (std::error_code ec; !std::filesystem::exists(file, ec) && !ec) {
    std::cerr << "libsql-server: the database file " << file
              << " does not exist (make one with libsql)\n";
    return 1;
  }

  try {
    std::unique_ptr<engine::Database> db =
        engine::Database::open(file, engine::Database::OpenMode::MustExist);
    {
      server::Server srv(*db, id);
      if (!srv.Listen(host, static_cast<int>(port)))
        std::cerr << "libsql-server: warning: listening on " << host
                  << ", which is not a loopback address: any machine that reaches it can log "
                     "in and read or change the whole database over an unencrypted "
                     "connection. This is a test and demo server; keep it on 127.0.0.1."
                  << std::endl;
      srv.SetLoginTimeout(login_timeout);
      g_server = &srv;
      struct sigaction sa {};
      sa.sa_handler = OnSignal;
      sigemptyset(&sa.sa_mask);
      sigaction(SIGTERM, &sa, nullptr);
      sigaction(SIGINT, &sa, nullptr);
      std::signal(SIGPIPE, SIG_IGN);
      std::cout << "listening on " << srv.Address() << std::endl;
      srv.Serve();
      g_server = nullptr;
    }
    // Every session is gone (its open transaction rolled back): the
    // committed changes go into the database file now, where a failure to
    // write it can still be reported.
    try {
      db->checkpoint();
    } catch (const std::exception& e) {
      std::cerr << "libsql-server: stopped, but the database file could not be written: "
                << e.what() << " Every committed change is kept in the journal " << file
                << "-journal, which the next opening replays; free space and open the database "
                   "again.\n";
      return 1;
    }
    db.reset();
    std::cout << "stopped" << std::endl;
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "libsql-server: " << e.what() << "\n";
    return 1;
  }
}
