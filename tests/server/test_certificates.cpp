// Test certificates made with certtool: templates written to the folder, keys made owner-only.
#include "test_certificates.h"

#include <QFile>
#include <QProcess>

namespace velmoth::server::testing {
namespace {

bool write(const QString &path, const QByteArray &text) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

constexpr const char *kServer =
    "cn = \"localhost\"\ndns_name = \"localhost\"\ntls_www_server\nsigning_key\n"
    "encryption_key\n";

}  // namespace

TestCertificates::TestCertificates() {
  const QString ca_template = file("ca.tmpl");
  ok_ = write(ca_template,
              "cn = \"velmoth test CA\"\nca\ncert_signing_key\nexpiration_days = 30\n") &&
        certtool({"--generate-privkey", "--key-type=ecdsa", "--outfile", file("ca.key")}) &&
        certtool({"--generate-self-signed", "--load-privkey", file("ca.key"), "--template",
                  ca_template, "--outfile", ca()}) &&
        certtool({"--generate-privkey", "--key-type=ecdsa", "--outfile", file("other-ca.key")}) &&
        certtool({"--generate-self-signed", "--load-privkey", file("other-ca.key"), "--template",
                  ca_template, "--outfile", file("other-ca.pem")}) &&
        make_pair("cert", "ca", "expiration_days = 30\n") &&
        make_pair("renewed", "ca", "expiration_days = 60\n") &&
        make_pair("stranger", "other-ca", "expiration_days = 30\n") &&
        make_pair("expired", "ca",
                  "activation_date = \"2020-01-01 00:00:00 UTC\"\n"
                  "expiration_date = \"2020-02-01 00:00:00 UTC\"\n") &&
        QFile::rename(file("cert.key"), key());
}

bool TestCertificates::certtool(const QStringList &args) {
  QProcess tool;
  tool.start(QStringLiteral("certtool"), args);
  return tool.waitForFinished(30000) && tool.exitStatus() == QProcess::NormalExit &&
         tool.exitCode() == 0;
}

bool TestCertificates::make_pair(const QString &name, const QString &ca, const QString &validity) {
  const QString key_file = file(name + ".key");
  const QString template_file = file(name + ".tmpl");
  return write(template_file, QByteArray(kServer) + validity.toUtf8()) &&
         certtool({"--generate-privkey", "--key-type=ecdsa", "--outfile", key_file}) &&
         QFile::setPermissions(key_file, QFile::ReadOwner | QFile::WriteOwner) &&
         certtool({"--generate-certificate", "--load-privkey", key_file, "--load-ca-certificate",
                   file(ca + ".pem"), "--load-ca-privkey", file(ca + ".key"), "--template",
                   template_file, "--outfile", file(name + ".pem")});
}

}  // namespace velmoth::server::testing
