#pragma once

#include <QString>
#include <QTemporaryDir>
#include <string>

namespace velmoth::server::testing {

// A throw-away PostgreSQL server for the tests: a fresh cluster in a temporary folder, reached
// only through a Unix socket in that folder, run as an unprivileged user (PostgreSQL refuses to
// run as root) and stopped when the object goes. Where Debian's PostgreSQL programs are missing
// or the server will not start, running() is false and why_not() says why, so the tests skip.
class PostgresInstance {
 public:
  PostgresInstance();
  ~PostgresInstance();
  PostgresInstance(const PostgresInstance &) = delete;
  PostgresInstance &operator=(const PostgresInstance &) = delete;

  bool running() const { return running_; }
  QString why_not() const { return why_not_; }

  // postgresql:// address of the test database, for the service's --db.
  std::string uri() const;
  // postgres:// address of a new, empty database on the server, so that tests start afresh.
  std::string new_database_uri();

  // Stops and starts the server, for tests of what clients do across a database outage.
  bool stop();
  bool start();

 private:
  bool run(const QString &program, const QStringList &arguments);

  QTemporaryDir dir_;
  QString bin_;
  QString data_;
  unsigned owner_ = 0;
  unsigned group_ = 0;
  int databases_made_ = 0;
  bool running_ = false;
  QString why_not_;
};

}  // namespace velmoth::server::testing
