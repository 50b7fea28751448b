// The service's TLS certificate chain and key: loaded from PEM files, checked, swapped on reload.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmoth::server {

// A certificate or key that cannot be served. The message is one line naming the file and the
// cause.
class TlsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// TLS 1.2 and 1.3 only, forward-secret key exchange and AEAD ciphers only (GnuTLS syntax).
extern const char *const kTlsPriorities;

// The certificate chain and key every new TLS handshake presents. Loading checks that both files
// can be read, that the key is readable by its owner only, that the two belong together and that
// the first certificate is valid now. reload() reads the same files again: new handshakes use the
// new pair, connections already open keep theirs, and a pair that fails a check leaves the old one
// in place. One identity per process: the TLS library asks for it through a plain function.
class TlsIdentity {
 public:
  // Throws TlsError.
  TlsIdentity(std::string certificate_file, std::string key_file);
  ~TlsIdentity();
  TlsIdentity(const TlsIdentity &) = delete;
  TlsIdentity &operator=(const TlsIdentity &) = delete;

  // Throws TlsError and keeps the pair served so far.
  void reload();

  // The function the HTTP library hands to GnuTLS (gnutls_certificate_retrieve_function2).
  static void *retrieve_function();

  // When the certificate served now stops being valid.
  std::chrono::system_clock::time_point expires() const;

  struct Pair;

 private:
  std::string certificate_file_;
  std::string key_file_;
  std::mutex reload_mutex_;
  // Every pair loaded stays until the identity ends: a handshake may still be using an old one.
  std::vector<std::unique_ptr<Pair>> loaded_;
};

}  // namespace velmoth::server
