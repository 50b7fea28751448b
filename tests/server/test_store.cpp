// The store interface, run once against an SQLite file and once against a PostgreSQL database:
// a card pays for one account only, a refused sign-up leaves nothing behind, revoked cards and
// disabled accounts are refused, sessions expire and end with a new password, throttle records
// round-trip, and a database newer than the program is refused.

#include <sqlite3.h>

#include <QtTest>
#include <memory>

#include "postgres_instance.h"
#include "store/postgres/postgres_store.h"
#include "store/sqlite/sqlite_store.h"

using namespace velmoth::server;
using velmoth::server::testing::PostgresInstance;

namespace {

// The store applies no name rules itself: a name's key and skeleton are whatever it is handed,
// here the name in lower case.
NewAccount new_account(const std::string &name) {
  const QByteArray key = QByteArray::fromStdString(name).toLower();
  return {{name, key.toStdString(), key.toStdString()}, "hash-of-" + name, "12345", 1000};
}

const NameRules kNoRules = [](std::string_view) { return std::optional<AccountName>(); };

// The store at location, as the service opens it.
std::unique_ptr<Store> open_store(const std::string &location) {
  if (location.rfind("postgresql://", 0) == 0)
    return std::make_unique<PostgresStore>(location, kNoRules, [](const std::string &) {});
  return std::make_unique<SqliteStore>(location, kNoRules);
}

std::int64_t add_card(Store &store, const std::string &number) {
  std::vector<Card> cards{{number, "pw"}};
  store.add_cards(cards, {"card-hash"}, 1000, [] { return std::string("9999999999999999"); });
  return store.find_unused_card(number)->id;
}

}  // namespace

// A new, empty store of the current row's kind in store, or the test is skipped saying why.
// NOLINTBEGIN(bugprone-macro-parentheses): store names the variable the macro declares.
#define FRESH_STORE(store)    \
  auto store = fresh_store(); \
  if (!store) QSKIP(qPrintable("PostgreSQL cannot run: " + postgres_->why_not()))
// NOLINTEND(bugprone-macro-parentheses)

class TestStore : public QObject {
  Q_OBJECT

  QTemporaryDir dir_;
  std::unique_ptr<PostgresInstance> postgres_;
  int files_made_ = 0;

  // A location for a new, empty store of the kind the current data row names; skips the test
  // when PostgreSQL is wanted and cannot run here.
  std::string fresh_location() {
    QFETCH_GLOBAL(QString, kind);
    if (kind == "sqlite")
      return dir_.filePath(QStringLiteral("store%1.db").arg(++files_made_)).toStdString();
    if (!postgres_) postgres_ = std::make_unique<PostgresInstance>();
    if (!postgres_->running()) return {};
    return postgres_->new_database_uri();
  }

  std::unique_ptr<Store> fresh_store() {
    const std::string location = fresh_location();
    if (location.empty()) return nullptr;
    return open_store(location);
  }

 private slots:
  void initTestCase_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("sqlite") << QStringLiteral("sqlite");
    QTest::newRow("postgresql") << QStringLiteral("postgresql");
  }

  void a_card_pays_for_one_account() {
    FRESH_STORE(store);
    const std::int64_t card = add_card(*store, "1111222233334444");
    QCOMPARE(store->create_account_spending_card(new_account("first"), card),
             SignupResult::Created);
    QCOMPARE(store->create_account_spending_card(new_account("second"), card),
             SignupResult::CardRefused);
    // The refused sign-up left no account behind, and the card is spent.
    QVERIFY(!store->find_login_account("second", "second"));
    QVERIFY(!store->find_unused_card("1111222233334444"));
    QCOMPARE(store->find_account("first", "first")->card, std::string("1111222233334444"));
    // A look-alike of a taken name is refused and spends nothing.
    const std::int64_t other = add_card(*store, "5555666677778888");
    QCOMPARE(store->create_account_spending_card(new_account("FIRST"), other),
             SignupResult::AccountTaken);
    QVERIFY(store->find_unused_card("5555666677778888"));
  }

  void revoked_cards_and_disabled_accounts_are_refused() {
    FRESH_STORE(store);
    const std::int64_t card = add_card(*store, "1111222233334444");
    QCOMPARE(store->revoke_card("1111222233334444", 2000), RevokeResult::Revoked);
    QCOMPARE(store->revoke_card("1111222233334444", 2001), RevokeResult::AlreadyRevoked);
    QCOMPARE(store->revoke_card("0000000000000000", 2001), RevokeResult::NotFound);
    QVERIFY(!store->find_unused_card("1111222233334444"));
    QCOMPARE(store->create_account_spending_card(new_account("late"), card),
             SignupResult::CardRefused);
    QVERIFY(!store->find_account("late", "late"));

    const std::int64_t paid = add_card(*store, "5555666677778888");
    QCOMPARE(store->create_account_spending_card(new_account("user"), paid), SignupResult::Created);
    QCOMPARE(store->revoke_card("5555666677778888", 2000), RevokeResult::AlreadySpent);
    const auto user = store->find_account("USER", "user");
    QVERIFY(user);
    store->add_session("digest", user->id, "hash-of-user", 5000, 1000);
    store->set_account_disabled(user->id, 3000);
    QVERIFY(!store->find_login_account("user", "user"));
    QVERIFY(!store->session_account("digest", 1001));
    QCOMPARE(store->find_account("user", "user")->disabled_at, std::int64_t{3000});
    store->set_account_disabled(user->id, 0);
    QVERIFY(store->find_login_account("user", "user"));
  }

  void sessions_expire_and_end_with_a_new_password() {
    FRESH_STORE(store);
    QVERIFY(store->create_account(new_account("owner")));
    QVERIFY(!store->create_account(new_account("Owner")));
    const auto owner = store->find_login_account("owner", "owner");
    store->add_session("old", owner->id, "hash-of-owner", 1100, 1000);
    store->add_session("new", owner->id, "hash-of-owner", 9000, 1000);
    QCOMPARE(store->session_account("new", 1200)->name, std::string("owner"));
    QVERIFY(!store->session_account("old", 1100));
    store->set_password_hash(owner->id, "another-hash");
    QVERIFY(!store->session_account("new", 1200));
    QCOMPARE(store->find_login_account("owner", "owner")->password_hash,
             std::string("another-hash"));
  }

  // A session is made only for the password hash the login verified, on an enabled account
  // (either may change while the hash runs), and an account keeps its 16 newest sessions.
  void sessions_follow_their_account() {
    FRESH_STORE(store);
    QVERIFY(store->create_account(new_account("owner")));
    const std::int64_t id = store->find_login_account("owner", "owner")->id;
    store->set_password_hash(id, "new");
    QVERIFY(!store->add_session("stale", id, "hash-of-owner", 5000, 1000));
    store->set_account_disabled(id, 2000);
    QVERIFY(!store->add_session("disabled", id, "new", 5000, 1000));
    QVERIFY(!store->session_account("disabled", 1001));
    store->set_account_disabled(id, 0);
    for (int i = 0; i < 20; ++i)
      QVERIFY(store->add_session("s" + std::to_string(i), id, "new", 6000 + i, 1000));
    for (int i = 0; i < 20; ++i)
      QCOMPARE(store->session_account("s" + std::to_string(i), 1001).has_value(), i >= 4);
  }

  void throttle_records_round_trip() {
    FRESH_STORE(store);
    store->change_throttle({"a", "b"}, [](const std::vector<ThrottleRecord> &) {
      return ThrottleChange{{{"a", 1, 10, 100}, {"b", 2, 20, 200}}, {}};
    });
    store->change_throttle({"a", "b"}, [](const std::vector<ThrottleRecord> &stored) {
      // The second change sees what the first wrote.
      return ThrottleChange{{{"a", stored.size() == 2 ? 7 : -1, 70, 300}}, {"b"}};
    });
    const auto records = store->read_throttle({"a", "b", "c"});
    QCOMPARE(records.size(), std::size_t(1));
    QCOMPARE(records[0].failures, std::int64_t{7});
    QCOMPARE(store->load_throttle(10).size(), std::size_t(1));
    // An eviction leaves a key that has failed since it was last seen.
    for (const auto &[seen, left] : {std::pair<std::int64_t, std::size_t>{299, 1}, {300, 0}}) {
      store->change_throttle({"a"}, [&, seen = seen](const auto &) {
        return ThrottleChange{{}, {}, {{"a", 0, 0, seen}}};
      });
      QCOMPARE(store->read_throttle({"a"}).size(), left);
    }
  }

  void newer_database_is_refused() {
    QFETCH_GLOBAL(QString, kind);
    const std::string location = fresh_location();
    if (location.empty()) QSKIP(qPrintable("PostgreSQL cannot run: " + postgres_->why_not()));
    open_store(location).reset();
    if (kind == "sqlite") {
      sqlite3 *db = nullptr;
      sqlite3_open(location.c_str(), &db);
      QCOMPARE(sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr), SQLITE_OK);
      sqlite3_close(db);
    } else {
      QProcess psql;
      psql.start(QStringLiteral("psql"),
                 {QString::fromStdString(location), QStringLiteral("-c"),
                  QStringLiteral("UPDATE velmoth_schema SET version = 99")});
      QVERIFY(psql.waitForFinished(10000));
      QCOMPARE(psql.exitCode(), 0);
    }
    try {
      open_store(location);
      QFAIL("a database of schema version 99 was opened");
    } catch (const std::runtime_error &error) {
      QVERIFY2(QString(error.what()).contains("schema version 99, newer than this program knows"),
               error.what());
    }
  }
};

QTEST_GUILESS_MAIN(TestStore)
#include "test_store.moc"
