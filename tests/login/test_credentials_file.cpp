#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "login/credentials_file.h"

using namespace velmoth;

namespace {

void write_bytes(const QString &path, const QByteArray &bytes) {
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write(bytes);
}

}  // namespace

class TestCredentialsFile : public QObject {
  Q_OBJECT

 private slots:
  void format_data() {
    QTest::addColumn<bool>("remember");
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("line");
    QTest::newRow("remember") << true << "alice"
                              << "pw"
                              << "[s]1[u]alice[p]pw\r\n";
    QTest::newRow("forget") << false << "alice"
                            << "pw"
                            << "[s]0\r\n";
    QTest::newRow("empty boxes") << true << ""
                                 << ""
                                 << "[s]1[u][p]\r\n";
    QTest::newRow("markers unescaped") << true << "a[u]"
                                       << "b[p]c"
                                       << "[s]1[u]a[u][p]b[p]c\r\n";
  }
  void format() {
    QFETCH(bool, remember);
    QFETCH(QString, account);
    QFETCH(QString, password);
    QFETCH(QString, line);
    QCOMPARE(format_credentials(remember, account, password), line);
  }

  // What a record (line ends already dropped) asks the window to do.
  void parse_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("check");
    QTest::addColumn<QVariant>("account");   // invalid: not filled
    QTest::addColumn<QVariant>("password");  // invalid: not filled
    const QVariant none;
    QTest::newRow("round trip") << "[s]1[u]alice[p]pw" << true << QVariant("alice")
                                << QVariant("pw");
    QTest::newRow("remember off") << "[s]0" << false << none << none;
    QTest::newRow("nothing after last marker")
        << "[s]1[u]abc[p]" << true << QVariant("abc") << QVariant("");
    QTest::newRow("password cut at [p]")
        << "[s]1[u]a[p]x[p]y" << true << QVariant("a") << QVariant("x");
    QTest::newRow("no [s]") << "hello" << true << none << none;
    QTest::newRow("no [s], text 0") << "0" << false << none << none;
    QTest::newRow("[s] without [u]") << "[s]1" << true << none << none;
    QTest::newRow("[s] alone") << "[s]" << true << none << none;
    QTest::newRow("empty file") << "" << true << none << none;
    QTest::newRow("no [p]") << "[s]1[u]alice" << true << QVariant("alice") << none;
    QTest::newRow("flag other than 1") << "[s]2[u]a[p]b" << true << QVariant("a") << QVariant("b");
    QTest::newRow("[u] in password")
        << "[s]1[u]a[p]b[u]c" << true << QVariant("a") << QVariant("b");
    QTest::newRow("[u] inside account") << "[s]1[u]a[u]b[p]c" << true << QVariant("a") << none;
    QTest::newRow("chinese") << "[s]1[u]张三[p]密码" << true << QVariant("张三")
                             << QVariant("密码");
  }
  void parse() {
    QFETCH(QString, text);
    QFETCH(bool, check);
    QFETCH(QVariant, account);
    QFETCH(QVariant, password);
    const StoredCredentials stored = parse_credentials(text);
    QCOMPARE(stored.check_remember, check);
    QCOMPARE(stored.account.has_value(), account.isValid());
    if (account.isValid()) QCOMPARE(*stored.account, account.toString());
    QCOMPARE(stored.password.has_value(), password.isValid());
    if (password.isValid()) QCOMPARE(*stored.password, password.toString());
  }

  void reading_joins_lines_and_drops_line_ends() {
    QTemporaryDir dir;
    const QString path = dir.filePath("config.inf");
    write_bytes(path, "[s]1[u]ali\r\nce[p]p\nw\r\n\r\n");
    QCOMPARE(read_credentials_text(path), std::optional<QString>("[s]1[u]alice[p]pw"));
  }

  void round_trip_through_the_file() {
    QTemporaryDir dir;
    const QString path = dir.filePath("config.inf");
    QCOMPARE(write_credentials(path, format_credentials(true, "张 三&", "p&w=")), std::nullopt);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QString("[s]1[u]张 三&[p]p&w=\r\n").toUtf8());
    const StoredCredentials stored = parse_credentials(*read_credentials_text(path));
    QCOMPARE(*stored.account, QString("张 三&"));
    QCOMPARE(*stored.password, QString("p&w="));
  }

  void written_file_is_owner_only_and_replaced_whole() {
    QTemporaryDir dir;
    const QString path = dir.filePath("config.inf");
    write_bytes(path, QByteArray(1000, 'x'));
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    QCOMPARE(write_credentials(path, "[s]0\r\n"), std::nullopt);
    QCOMPARE(QFile::permissions(path) & 0x0FFF, QFile::ReadUser | QFile::WriteUser);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("[s]0\r\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"config.inf"});
  }

  void unwritable_places_report_a_reason_instead_of_failing() {
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("config.inf"));
    const auto into_directory = write_credentials(dir.filePath("config.inf"), "[s]0\r\n");
    QVERIFY(into_directory.has_value());
    QVERIFY(!into_directory->isEmpty());
    write_bytes(dir.filePath("file"), "x");
    QVERIFY(write_credentials(dir.filePath("file/config.inf"), "[s]0\r\n").has_value());
  }

  void unreadable_files_read_as_absent() {
    QTemporaryDir dir;
    QCOMPARE(read_credentials_text(dir.filePath("missing")), std::nullopt);
    QCOMPARE(read_credentials_text(dir.path()), std::nullopt);
    const QString huge = dir.filePath("huge");
    {
      QFile file(huge);
      QVERIFY(file.open(QIODevice::WriteOnly));
      QVERIFY(file.resize(qint64(1) << 30));  // sparse: 1 GiB without the disk space
    }
    QCOMPARE(read_credentials_text(huge), std::nullopt);
  }

  void binary_and_invalid_utf8_read_without_harm() {
    QTemporaryDir dir;
    const QString path = dir.filePath("config.inf");
    write_bytes(path, QByteArray("[s]1[u]\xff\xfe\x00\x01[p]\xc3", 12));
    const auto text = read_credentials_text(path);
    QVERIFY(text.has_value());
    const StoredCredentials stored = parse_credentials(*text);
    QVERIFY(stored.check_remember);
    QVERIFY(stored.account.has_value());
  }

  // Files of older clients on Chinese systems are in the GB18030 (GBK) code page.
  void decoding_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("utf-8") << QByteArray("[s]1[u]\xe5\xbc\xa0\xe4\xb8\x89[p]pw\r\n")
                           << QString("[s]1[u]张三[p]pw");
    QTest::newRow("gbk") << QByteArray("[s]1[u]\xd5\xc5\xc8\xfd[p]\xc3\xdc\xc2\xeb\r\n")
                         << QString("[s]1[u]张三[p]密码");
    QTest::newRow("gb18030 four-byte")
        << QByteArray("[s]1[u]\x81\x30\x81\x30[p]") << QString("[s]1[u]\u0080[p]");
    QTest::newRow("neither") << QByteArray("[s]1[u]\xff[p]") << QString("[s]1[u]\ufffd[p]");
  }
  void decoding() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QTemporaryDir dir;
    const QString path = dir.filePath("config.inf");
    write_bytes(path, bytes);
    QCOMPARE(read_credentials_text(path), std::optional<QString>(text));
  }

  void size_cap_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("read");
    QTest::newRow("at the cap") << 64 * 1024 << true;
    QTest::newRow("one byte over") << 64 * 1024 + 1 << false;
  }
  void size_cap() {
    QFETCH(int, size);
    QFETCH(bool, read);
    QTemporaryDir dir;
    const QString path = dir.filePath("config.inf");
    QByteArray bytes("[s]1[u]alice[p]pw");
    bytes.append(size - bytes.size(), '\n');
    write_bytes(path, bytes);
    const auto text = read_credentials_text(path);
    QCOMPARE(text.has_value(), read);
    if (read) QCOMPARE(*text, QString("[s]1[u]alice[p]pw"));
  }

  void location_beside_the_program_unless_it_cannot_be_written() {
    QTemporaryDir program, user;
    QCOMPARE(credentials_path(program.path(), user.path()),
             QDir(program.path()).filePath("config.inf"));
    const QString not_writable = program.filePath("absent");
    QCOMPARE(credentials_path(not_writable, user.path()), QDir(user.path()).filePath("config.inf"));
  }
};

QTEST_GUILESS_MAIN(TestCredentialsFile)
#include "test_credentials_file.moc"
