// Account names and passwords at sign-up and login: each class of name the service refuses, the
// spellings that are one account, and names stored before these rules.

#include <sqlite3.h>

#include <QtTest>

#include "server_harness.h"

using namespace velmoth::server;
using namespace velmoth::server::testing;

Q_DECLARE_METATYPE(std::string)

namespace {

const std::string kPassword = "name-test-pw";

}  // namespace

class TestAccountNames : public QObject {
  Q_OBJECT

  std::unique_ptr<RunningService> server_;

  std::string sign_up(const std::string &name, const std::string &password = kPassword) {
    const Card card = server_->card();
    return server_
        ->get(address("/reg.asp", {{"u", name},
                                   {"p", password},
                                   {"q", "12345"},
                                   {"cn", card.number},
                                   {"cc", card.password}}))
        .body;
  }
  std::string log_in(const std::string &name, const std::string &password = kPassword) {
    return server_->get(address("/login.asp", {{"u", name}, {"p", password}})).body;
  }

 private slots:
  void initTestCase() { server_ = std::make_unique<RunningService>(); }
  void refused_names_data();
  void refused_names();
  void spellings_of_one_account_data();
  void spellings_of_one_account();
  void names_stored_before_the_rules_still_log_in();
};

void TestAccountNames::refused_names_data() {
  QTest::addColumn<std::string>("name");
  QTest::addColumn<std::string>("password");
  const auto row = [](const char *what, const std::string &name,
                      const std::string &password = kPassword) {
    QTest::newRow(what) << name << password;
  };
  row("blanks only", "   ");
  row("leading blank", " lead");
  row("trailing blank", "trail ");
  row("ideographic blank only", "\u3000");
  row("no-break space", "no\u00a0break");
  row("zero-width space", "zero\u200bwidth");
  row("zero-width joiner", "zw\u200djoin");
  row("bidi override", "bidi\u202eover");
  row("byte-order mark", "\ufeffbom");
  row("lone combining mark", "\u0301");
  row("leading combining mark", "\u0301abc");
  row("private use", "priv\ue000");
  row("unassigned", "un\U000e0080x");
  row("Latin with Cyrillic", "p\u0430ypal");
  row("Latin with Greek", "\u03bfmega");
  row("33 characters", std::string(33, 'n'));
  row("password of 7", "shortpw", "1234567");
  row("password of blanks", "blankpw", "          ");
  row("password of 65", "longpw", std::string(65, 'p'));
}

void TestAccountNames::refused_names() {
  QFETCH(std::string, name);
  QFETCH(std::string, password);
  QCOMPARE(sign_up(name, password), std::string("0"));
}

// The first spelling signs up; every other one is the same account: taken at sign-up and
// logged into at login.
void TestAccountNames::spellings_of_one_account_data() {
  QTest::addColumn<QList<std::string>>("spellings");
  QTest::newRow("case") << QList<std::string>{"Alice", "alice", "ALICE", "aLiCe"};
  QTest::newRow("full case folding") << QList<std::string>{"Straße", "STRASSE", "strasse"};
  QTest::newRow("normalization") << QList<std::string>{"caf\u00e9", "cafe\u0301", "CAFE\u0301"};
  QTest::newRow("full width") << QList<std::string>{"wide", "\uff57\uff49\uff44\uff45", "ＷＩＤＥ"};
  QTest::newRow("half-width katakana")
      << QList<std::string>{"カタカナ", "\uff76\uff80\uff76\uff85"};
  QTest::newRow("ideographic space") << QList<std::string>{"张\u3000三", "张 三"};
  QTest::newRow("Chinese with Latin") << QList<std::string>{"张三 Zhang", "张三 zhang"};
}

void TestAccountNames::spellings_of_one_account() {
  QFETCH(QList<std::string>, spellings);
  QCOMPARE(sign_up(spellings.front()), std::string("3"));
  for (const std::string &spelling : spellings) {
    QCOMPARE(sign_up(spelling), std::string("1"));
    QCOMPARE(log_in(spelling), std::string("1"));
  }
}

// A database of the first schema, holding names today's rules refuse or merge, is migrated on
// open: every account still logs in with its name exactly as stored, and the merged spellings
// no longer make new accounts.
void TestAccountNames::names_stored_before_the_rules_still_log_in() {
  QTemporaryDir folder;
  const std::string path = folder.filePath("old.db").toStdString();
  const PasswordHasher hasher(HashCost::minimum(), 1);
  const std::vector<std::string> old_names{"Demo", "demo", "trailing ", "zero\u200bwidth"};
  {
    sqlite3 *db = nullptr;
    QCOMPARE(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    QCOMPARE(
        sqlite3_exec(db,
                     "CREATE TABLE accounts (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE,"
                     " password_hash TEXT NOT NULL, qq TEXT NOT NULL, created_at INTEGER NOT "
                     "NULL);"
                     "CREATE TABLE cards (id INTEGER PRIMARY KEY, number TEXT NOT NULL UNIQUE,"
                     " password_hash TEXT NOT NULL, created_at INTEGER NOT NULL,"
                     " used_by INTEGER REFERENCES accounts(id), used_at INTEGER);"
                     "CREATE TABLE sessions (token_hash TEXT PRIMARY KEY, account_id INTEGER "
                     "NOT NULL REFERENCES accounts(id) ON DELETE CASCADE, expires_at INTEGER "
                     "NOT NULL);"
                     "PRAGMA application_id=1447841108; PRAGMA user_version=1;",
                     nullptr, nullptr, nullptr),
        SQLITE_OK);
    for (const std::string &name : old_names) {
      sqlite3_stmt *insert = nullptr;
      sqlite3_prepare_v2(db,
                         "INSERT INTO accounts (name, password_hash, qq, created_at)"
                         " VALUES (?, ?, '12345', 0)",
                         -1, &insert, nullptr);
      const std::string hash = hasher.hash("old-" + name);
      sqlite3_bind_text(insert, 1, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 2, hash.c_str(), -1, SQLITE_TRANSIENT);
      QCOMPARE(sqlite3_step(insert), SQLITE_DONE);
      sqlite3_finalize(insert);
    }
    sqlite3_close(db);
  }
  server_ = std::make_unique<RunningService>(QString::fromStdString(path));
  for (const std::string &name : old_names) QCOMPARE(log_in(name, "old-" + name), std::string("1"));
  QCOMPARE(log_in("DEMO", "old-Demo"), std::string("0"));  // two accounts share that key
  QCOMPARE(log_in("Trailing ", "old-trailing "), std::string("0"));
  QCOMPARE(sign_up("DEMO"), std::string("1"));
}

QTEST_GUILESS_MAIN(TestAccountNames)
#include "test_account_names.moc"
