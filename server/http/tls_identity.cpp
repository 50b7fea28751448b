// Loading and checking the TLS certificate chain and key, and handing the current pair to GnuTLS.
#include "http/tls_identity.h"

#include <fcntl.h>
#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/text_rules.h"

namespace velmoth::server {

const char *const kTlsPriorities =
    "NONE:+VERS-TLS1.3:+VERS-TLS1.2:+ECDHE-ECDSA:+ECDHE-RSA:+DHE-RSA:+AES-256-GCM:+AES-128-GCM:"
    "+CHACHA20-POLY1305:+AEAD:+SIGN-ALL:-SIGN-RSA-SHA1:-SIGN-ECDSA-SHA1:-SIGN-DSA-SHA1:+GROUP-ALL:+"
    "COMP-NULL:+CTYPE-X509:%SAFE_RENEGOTIATION";

struct TlsIdentity::Pair {
  std::vector<gnutls_pcert_st> chain;
  gnutls_privkey_t key = nullptr;
  std::chrono::system_clock::time_point expires;

  Pair() = default;
  Pair(const Pair &) = delete;
  Pair &operator=(const Pair &) = delete;
  ~Pair() {
    for (gnutls_pcert_st &certificate : chain) gnutls_pcert_deinit(&certificate);
    if (key) gnutls_privkey_deinit(key);
  }
};

namespace {

constexpr unsigned kMaxChain = 16;

// The pair new handshakes present; pairs are never freed while their identity lives.
std::atomic<TlsIdentity::Pair *> g_current{nullptr};

std::string read_file(const std::string &path, const std::string &what) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    throw TlsError("cannot read the TLS " + what + " " + path + ": " + std::strerror(errno));
  std::string text;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
    text.append(buffer, static_cast<std::size_t>(n));
  const int read_errno = errno;
  ::close(fd);
  if (n < 0)
    throw TlsError("cannot read the TLS " + what + " " + path + ": " + std::strerror(read_errno));
  return text;
}

void check_private(const std::string &key_file) {
  struct stat status {};
  if (::stat(key_file.c_str(), &status) != 0)
    throw TlsError("cannot read the TLS key " + key_file + ": " + std::strerror(errno));
  if (status.st_mode & (S_IRWXG | S_IRWXO)) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    throw TlsError("the TLS key " + key_file + " is readable by group or others (mode " + mode +
                   "); make it private: chmod 600 " + key_file);
  }
}

gnutls_datum_t datum(const std::string &text) {
  return {reinterpret_cast<unsigned char *>(const_cast<char *>(text.data())),
          static_cast<unsigned>(text.size())};
}

// The public key in DER form, to tell whether a key belongs to a certificate.
std::string public_key_der(gnutls_pubkey_t key) {
  gnutls_datum_t der{};
  if (gnutls_pubkey_export2(key, GNUTLS_X509_FMT_DER, &der) < 0) return {};
  std::string out(reinterpret_cast<const char *>(der.data), der.size);
  gnutls_free(der.data);
  return out;
}

std::string day(std::time_t when) {
  return utc_text(std::chrono::system_clock::from_time_t(when), "%Y-%m-%d %H:%M:%S UTC");
}

// Reads the certificate's validity and checks it holds now.
std::chrono::system_clock::time_point check_validity(const gnutls_pcert_st &first,
                                                     const std::string &certificate_file) {
  gnutls_x509_crt_t certificate = nullptr;
  gnutls_x509_crt_init(&certificate);
  const int rc = gnutls_x509_crt_import(certificate, &first.cert, GNUTLS_X509_FMT_DER);
  const std::time_t starts = rc < 0 ? -1 : gnutls_x509_crt_get_activation_time(certificate);
  const std::time_t ends = rc < 0 ? -1 : gnutls_x509_crt_get_expiration_time(certificate);
  gnutls_x509_crt_deinit(certificate);
  if (rc < 0 || starts == -1 || ends == -1)
    throw TlsError("the TLS certificate " + certificate_file + " has no readable validity period");
  const std::time_t now = std::time(nullptr);
  if (ends <= now)
    throw TlsError("the TLS certificate " + certificate_file + " expired on " + day(ends) +
                   "; renew it");
  if (starts > now)
    throw TlsError("the TLS certificate " + certificate_file + " is not valid before " +
                   day(starts));
  return std::chrono::system_clock::from_time_t(ends);
}

std::unique_ptr<TlsIdentity::Pair> load_pair(const std::string &certificate_file,
                                             const std::string &key_file) {
  const std::string certificate_text = read_file(certificate_file, "certificate");
  check_private(key_file);
  const std::string key_text = read_file(key_file, "key");

  auto pair = std::make_unique<TlsIdentity::Pair>();
  pair->chain.resize(kMaxChain);
  unsigned count = kMaxChain;
  const gnutls_datum_t certificates = datum(certificate_text);
  int rc = gnutls_pcert_list_import_x509_raw(pair->chain.data(), &count, &certificates,
                                             GNUTLS_X509_FMT_PEM, 0);
  if (rc < 0 || count == 0) {
    pair->chain.clear();
    throw TlsError("the TLS certificate " + certificate_file +
                   " holds no usable PEM certificate (" + gnutls_strerror(rc) + ")");
  }
  pair->chain.resize(count);
  pair->expires = check_validity(pair->chain.front(), certificate_file);

  const gnutls_datum_t key = datum(key_text);
  gnutls_privkey_init(&pair->key);
  rc = gnutls_privkey_import_x509_raw(pair->key, &key, GNUTLS_X509_FMT_PEM, nullptr, 0);
  if (rc < 0)
    throw TlsError("the TLS key " + key_file + " holds no usable PEM private key (" +
                   gnutls_strerror(rc) + ")");

  gnutls_pubkey_t from_key = nullptr;
  gnutls_pubkey_init(&from_key);
  const bool matches = gnutls_pubkey_import_privkey(from_key, pair->key, 0, 0) == 0 &&
                       public_key_der(from_key) == public_key_der(pair->chain.front().pubkey);
  gnutls_pubkey_deinit(from_key);
  if (!matches)
    throw TlsError("the TLS key " + key_file + " does not belong to the certificate " +
                   certificate_file);
  return pair;
}

int present_current(gnutls_session_t, const gnutls_datum_t *, int, const gnutls_pk_algorithm_t *,
                    int, gnutls_pcert_st **certificates, unsigned int *count,
                    gnutls_privkey_t *key) {
  TlsIdentity::Pair *pair = g_current.load();
  if (!pair) return -1;
  *certificates = pair->chain.data();
  *count = static_cast<unsigned>(pair->chain.size());
  *key = pair->key;
  return 0;
}

}  // namespace

TlsIdentity::TlsIdentity(std::string certificate_file, std::string key_file)
    : certificate_file_(std::move(certificate_file)), key_file_(std::move(key_file)) {
  if (gnutls_global_init() < 0) throw TlsError("GnuTLS cannot be initialised");
  try {
    reload();
  } catch (...) {
    gnutls_global_deinit();
    throw;
  }
}

TlsIdentity::~TlsIdentity() {
  std::lock_guard<std::mutex> lock(reload_mutex_);
  for (const auto &pair : loaded_) {
    TlsIdentity::Pair *expected = pair.get();
    g_current.compare_exchange_strong(expected, nullptr);
  }
  loaded_.clear();
  gnutls_global_deinit();
}

void TlsIdentity::reload() {
  std::unique_ptr<Pair> pair = load_pair(certificate_file_, key_file_);
  std::lock_guard<std::mutex> lock(reload_mutex_);
  g_current.store(pair.get());
  loaded_.push_back(std::move(pair));
}

void *TlsIdentity::retrieve_function() { return reinterpret_cast<void *>(&present_current); }

std::chrono::system_clock::time_point TlsIdentity::expires() const {
  const Pair *pair = g_current.load();
  return pair ? pair->expires : std::chrono::system_clock::time_point();
}

}  // namespace velmoth::server
