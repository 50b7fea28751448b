#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QUrlQuery>
#include <memory>

#include "app/window_context.h"
#include "login/form1.h"
#include "service/protocol.h"
#include "signup/form2.h"
#include "test_server.h"

using namespace velmoth;

namespace {

using Items = QList<QPair<QString, QString>>;

Items decoded_query(const QString &address) {
  const QUrl url(address, QUrl::StrictMode);
  return QUrlQuery(url).queryItems(QUrl::FullyDecoded);
}

const QDateTime kNow(QDate(2026, 3, 4), QTime(5, 6, 7));

}  // namespace

class TestProtocol : public QObject {
  Q_OBJECT

 private slots:
  void login_values_reach_the_service_as_typed_data() {
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("password");
    QTest::newRow("plain") << "alice"
                           << "secret";
    QTest::newRow("query metacharacters") << "a&p=x"
                                          << "p&=#+%20%";
    QTest::newRow("blanks") << " a b "
                            << "  ";
    QTest::newRow("chinese") << "张三"
                             << "密码123";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("hash cuts nothing") << "#"
                                       << "#top";
    QTest::newRow("percent sequences") << "%41%"
                                       << "%zz";
  }
  void login_values_reach_the_service_as_typed() {
    QFETCH(QString, account);
    QFETCH(QString, password);
    const QString address = login_address("http://h.test/base/", account, password, kNow);
    QVERIFY(address.startsWith("http://h.test/base/login.asp?u="));
    QVERIFY(QUrl(address, QUrl::StrictMode).isValid());
    QCOMPARE(QUrl(address).fragment(), QString());
    const Items expected{{"u", account}, {"p", password}, {"t", "2026/3/4 5:06:07"}};
    QCOMPARE(decoded_query(address), expected);
  }

  void signup_sends_six_fields_in_order() {
    const QString address =
        signup_address("http://h.test/", "u&q=1", "p w", "12345", "cn#1", "c+c", kNow);
    QVERIFY(address.startsWith("http://h.test/reg.asp?u="));
    const Items expected{{"u", "u&q=1"}, {"p", "p w"},  {"q", "12345"},
                         {"cn", "cn#1"}, {"cc", "c+c"}, {"t", "2026/3/4 5:06:07"}};
    QCOMPARE(decoded_query(address), expected);
  }

  void account_page_carries_nothing_of_the_user() {
    QCOMPARE(account_address("http://h.test/x/"), QString("http://h.test/x/account.asp"));
  }

  void time_stamp_has_no_leading_zeros_in_date_and_hour() {
    QCOMPARE(time_stamp(QDateTime(QDate(2026, 12, 31), QTime(23, 59, 58))),
             QString("2026/12/31 23:59:58"));
    QCOMPARE(time_stamp(QDateTime(QDate(2026, 1, 2), QTime(0, 0, 9))), QString("2026/1/2 0:00:09"));
  }

  void reply_reader_data() {
    QTest::addColumn<QString>("markup");
    QTest::addColumn<bool>("has_body");
    QTest::addColumn<QString>("reply");
    QTest::newRow("plain code") << "<HTML><HEAD></HEAD><BODY>1</BODY></HTML>" << true << "1";
    QTest::newRow("serialized page")
        << "<HTML><HEAD></HEAD>\r\n<BODY>0</BODY></HTML>" << true << "0";
    QTest::newRow("lower-case tags") << "<html><head></head><body>1</body></html>" << false << "";
    QTest::newRow("trailing line break") << "<HTML><BODY>1\n</BODY></HTML>" << true << "1\n";
    QTest::newRow("no body tag") << "<HTML><HEAD></HEAD></HTML>" << false << "";
    QTest::newRow("two body tags") << "<BODY>2<BODY>3</BODY>" << true << "2";
    QTest::newRow("second body tag, no end tag") << "<BODY>2<BODY>3" << true << "2";
    QTest::newRow("attributes on body") << "<BODY class=x>1</BODY>" << false << "";
    QTest::newRow("no end tag") << "<BODY>1" << true << "1";
    QTest::newRow("empty body") << "<BODY></BODY>" << true << "";
    QTest::newRow("blanks kept") << "<BODY> 1 </BODY>" << true << " 1 ";
  }
  void reply_reader() {
    QFETCH(QString, markup);
    QFETCH(bool, has_body);
    QFETCH(QString, reply);
    const auto read = read_reply(markup);
    QCOMPARE(read.has_value(), has_body);
    if (has_body) QCOMPARE(*read, reply);
  }

  // The real reply boxes hand a reply back unchanged, however long, or "1\n" would pass for "1"
  // and a long page could be cut.
  void reply_boxes_keep_the_whole_reply_data() {
    QTest::addColumn<bool>("signup");
    QTest::addColumn<QString>("box");
    QTest::newRow("login window") << false << "Text3";
    QTest::newRow("sign-up window") << true << "Text7";
  }
  void reply_boxes_keep_the_whole_reply() {
    QFETCH(bool, signup);
    QFETCH(QString, box);
    QByteArray body = "1\n";
    for (int line = 0; line < 1000; ++line) body += QByteArray(40, 'x') + '\n';  // 41 KB
    testing::TestServer server;
    QVERIFY(server.listen());
    testing::TestResponse page;
    page.body = body;
    page.headers = {{"Content-Type", "text/plain"}};
    server.on("/", page);
    QNetworkAccessManager network;
    QTemporaryDir dir;
    WindowContext context;
    context.service_url = server.base_url();
    context.home_url = QStringLiteral("http://home.test/");
    context.network = &network;
    context.credentials_path = dir.filePath(QStringLiteral("config.inf"));
    std::unique_ptr<QWidget> window;
    if (signup) {
      auto form = std::make_unique<Form2>(context);
      form->load();
      window = std::move(form);
    } else {
      auto form = std::make_unique<Form1>(context);
      form->load();
      window = std::move(form);
    }
    auto *reply_box = window->findChild<QLineEdit *>(box);
    QVERIFY(reply_box);
    QTRY_VERIFY(!reply_box->text().isEmpty());
    QCOMPARE(reply_box->text().size(), body.size());
    QCOMPARE(reply_box->text(), QString::fromLatin1(body));
  }
};

QTEST_MAIN(TestProtocol)
#include "test_protocol.moc"
