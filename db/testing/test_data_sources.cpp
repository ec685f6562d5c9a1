// test_data_sources.cpp - temporary ODBC configuration, SQLite file and
// PostgreSQL server.
#include "db/testing/test_data_sources.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <ftw.h>
#include <glob.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace tessaline::testing {
namespace {

// The last path, in glob order, that matches the pattern; empty for none.
// The PostgreSQL installation with the highest major version; empty for none.
String newest_postgres_bin() {
  glob_t found{};
  String path;
  long best = -1;
  if (glob("/usr/lib/postgresql/*/bin", 0, nullptr, &found) == 0) {
    for (size_t i = 0; i < found.gl_pathc; ++i) {
      const char* number = found.gl_pathv[i] + std::strlen("/usr/lib/postgresql/");
      long version = std::strtol(number, nullptr, 10);
      if (version > best) {
        best = version;
        path = found.gl_pathv[i];
      }
    }
  }
  globfree(&found);
  return path;
}

String find_last(const char* pattern) {
  glob_t found{};
  String path;
  if (glob(pattern, 0, nullptr, &found) == 0 && found.gl_pathc > 0) {
    path = found.gl_pathv[found.gl_pathc - 1];
  }
  globfree(&found);
  return path;
}

bool write_file(const String& path, const String& text) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  bool ok = std::fwrite(text.c_str(), 1, text.length(), f) == static_cast<size_t>(text.length());
  return std::fclose(f) == 0 && ok;
}

String read_file(const String& path) {
  String text;
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, static_cast<int>(n));
  std::fclose(f);
  return text;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

void remove_tree(const String& path) {
  if (!path.empty()) nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void sleep_ms(int ms) {
  timespec t{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, nullptr);
}

// In the child: become `uid`, send output to `output`, run argv.
[[noreturn]] void exec_child(const char* const* argv, const char* output, uid_t uid, gid_t gid) {
  if (uid != 0) {
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(126);
  }
  int fd = open(output ? output : "/dev/null", O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd >= 0) {
    dup2(fd, 1);
    dup2(fd, 2);
    close(fd);
  }
  int null_in = open("/dev/null", O_RDONLY);
  if (null_in >= 0) {
    dup2(null_in, 0);
    close(null_in);
  }
  setenv("LC_ALL", "C", 1);
  execv(argv[0], const_cast<char* const*>(argv));
  _exit(127);
}

}  // namespace

int TestDataSources::run(const char* const* argv, const char* output, uid_t uid, gid_t gid) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) exec_child(argv, output, uid, gid);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool TestDataSources::fail(const String& reason) {
  error_ = reason;
  return false;
}

bool TestDataSources::start(bool with_postgres) {
  // The driver manager loads its installer library for each connection and
  // may unload it when the last one closes; the blocks it keeps for the life
  // of the process would then be reported as leaks of an unknown module,
  // which no suppression can name. Holding it mapped keeps its name.
  dlopen("libodbcinst.so.2", RTLD_NOW | RTLD_NODELETE);
  char folder[] = "/tmp/tessaline-odbc-XXXXXX";
  if (!mkdtemp(folder)) return fail("cannot make a temporary folder");
  folder_ = folder;
  sqlite_file_ = folder_ + "/recipients.sqlite";
  if (with_postgres && !start_postgres()) return false;
  return write_configuration();
}

bool TestDataSources::write_configuration() {
  String sqlite_driver = find_last("/usr/lib/*/odbc/libsqlite3odbc.so");
  if (sqlite_driver.empty()) return fail("the SQLite ODBC driver (libsqliteodbc) is not installed");
  // DontDLClose keeps the drivers mapped after the last connection, so that
  // leak reports can still name them.
  String drivers = "[TessalineSQLite]\nDriver=" + sqlite_driver + "\nDontDLClose=1\n";
  String system_sources;
  if (port_ > 0) {
    String pg_driver = find_last("/usr/lib/*/odbc/psqlodbcw.so");
    if (pg_driver.empty()) return fail("the PostgreSQL ODBC driver (odbc-postgresql) is not installed");
    drivers += "[TessalinePostgreSQL]\nDriver=" + pg_driver + "\nDontDLClose=1\n";
    system_sources.format(
        "[%s]\nDriver=TessalinePostgreSQL\nServername=127.0.0.1\nPort=%d\nDatabase=postgres\n"
        "Username=postgres\nSSLmode=disable\n",
        kPostgresName, port_);
  }
  String user_sources = String::formatted(
      "[%s]\nDriver=TessalineSQLite\nDatabase=%s\nTimeout=5000\n", kSqliteName,
      sqlite_file_.c_str());
  if (!write_file(folder_ + "/odbcinst.ini", drivers) ||
      !write_file(folder_ + "/odbc.ini", system_sources) ||
      !write_file(folder_ + "/user-odbc.ini", user_sources)) {
    return fail("cannot write the ODBC configuration in " + folder_);
  }
  // The driver manager reads these on every connect and listing.
  setenv("ODBCSYSINI", folder_.c_str(), 1);
  setenv("ODBCINI", (folder_ + "/user-odbc.ini").c_str(), 1);
  return true;
}

bool TestDataSources::start_postgres() {
  String bin = newest_postgres_bin();
  if (bin.empty()) return fail("PostgreSQL is not installed (no /usr/lib/postgresql/*/bin)");
  String initdb = bin + "/initdb", postgres = bin + "/postgres";
  psql_ = bin + "/psql";

  // PostgreSQL refuses to run as root: then the server runs as "postgres".
  uid_t uid = 0;
  gid_t gid = 0;
  if (geteuid() == 0) {
    struct passwd* user = getpwnam("postgres");
    if (!user) return fail("running as root, but there is no \"postgres\" user to run PostgreSQL");
    uid = user->pw_uid;
    gid = user->pw_gid;
  }
  char folder[] = "/tmp/tessaline-pg-XXXXXX";
  if (!mkdtemp(folder)) return fail("cannot make a temporary folder");
  pg_folder_ = folder;
  if (uid != 0 && chown(folder, uid, gid) != 0) return fail("cannot give " + pg_folder_ + " to postgres");
  String data = pg_folder_ + "/data";
  String initdb_log = pg_folder_ + "/initdb.log";
  const char* init_argv[] = {initdb.c_str(), "-D", data.c_str(), "-U", "postgres", "-A", "trust",
                             "-E", "UTF8", "--locale=C", "-N", nullptr};
  if (run(init_argv, initdb_log.c_str(), uid, gid) != 0) {
    return fail("initdb failed:\n" + read_file(initdb_log));
  }

  String log = pg_folder_ + "/server.log";
  std::srand(static_cast<unsigned>(std::time(nullptr)) ^ static_cast<unsigned>(getpid()));
  for (int attempt = 0; attempt < 8; ++attempt) {
    int port = 20000 + std::rand() % 40000;
    String port_text = String::formatted("%d", port);
    const char* argv[] = {postgres.c_str(), "-D", data.c_str(), "-h", "127.0.0.1", "-p",
                          port_text.c_str(), "-k", "", "-c", "fsync=off", nullptr};
    pid_t pid = fork();
    if (pid < 0) return fail("fork failed");
    if (pid == 0) exec_child(argv, log.c_str(), uid, gid);
    // Ready when the server has written "ready" as the status line of its
    // pid file; gone when the port was taken (then try another).
    for (int waited = 0; waited < 600; ++waited) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        break;
      }
      String pid_file = read_file(data + "/postmaster.pid");
      if (pid_file.contains("\nready")) {
        postgres_pid_ = pid;
        port_ = port;
        return true;
      }
      sleep_ms(100);
    }
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return fail("PostgreSQL did not start:\n" + read_file(log));
    }
    if (!read_file(log).contains("could not") ) break;
  }
  return fail("PostgreSQL did not start:\n" + read_file(log));
}

void TestDataSources::stop() {
  if (postgres_pid_ > 0) {
    // Fast shutdown: open sessions are ended.
    kill(postgres_pid_, SIGINT);
    bool gone = false;
    for (int i = 0; i < 300 && !gone; ++i) {
      if (waitpid(postgres_pid_, nullptr, WNOHANG) == postgres_pid_) gone = true;
      else sleep_ms(100);
    }
    if (!gone) {
      kill(postgres_pid_, SIGKILL);
      waitpid(postgres_pid_, nullptr, 0);
    }
    postgres_pid_ = -1;
  }
  remove_tree(pg_folder_);
  pg_folder_.clear();
  remove_tree(folder_);
  folder_.clear();
  port_ = 0;
}

}  // namespace tessaline::testing
