// Certificates the tests make with GnuTLS's certtool: a CA of their own and server pairs.
#pragma once

#include <QString>
#include <QTemporaryDir>

namespace velmoth::server::testing {

// In a temporary folder: a CA and, signed by it, certificates for the host name "localhost"
// only, each with its own owner-only key. Anything certtool fails to make leaves ok() false.
class TestCertificates {
 public:
  TestCertificates();

  bool ok() const { return ok_; }
  QString ca() const { return file("ca.pem"); }
  QString certificate() const { return file("cert.pem"); }  // valid for 30 days
  QString key() const { return file("key.pem"); }
  QString expired_certificate() const { return file("expired.pem"); }  // its key: expired.key
  QString expired_key() const { return file("expired.key"); }
  // A second valid pair for "localhost" with a key of its own, to swap in.
  QString renewed_certificate() const { return file("renewed.pem"); }
  QString renewed_key() const { return file("renewed.key"); }
  // A pair for "localhost" from another CA, which no client trusts.
  QString stranger_certificate() const { return file("stranger.pem"); }
  QString stranger_key() const { return file("stranger.key"); }
  QString file(const QString &name) const { return dir_.filePath(name); }

 private:
  bool certtool(const QStringList &args);
  bool make_pair(const QString &name, const QString &ca, const QString &validity);

  QTemporaryDir dir_;
  bool ok_ = false;
};

}  // namespace velmoth::server::testing
