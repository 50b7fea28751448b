// A window's hidden web browser.
#pragma once

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

#include "platform/page_reader.h"

class QNetworkAccessManager;

namespace velmoth {

// A window's hidden web browser: fetches an address by HTTP GET through the application's one
// network manager (so every browser shares one cookie store) and holds the loaded document.
// Each load ends in exactly one DocumentComplete(), on the UI thread; a load superseded by a
// newer Navigate() is never reported. A page that arrived is read in the page helper (see
// PageReader); the UI thread goes on meanwhile.
class Browser : public QObject {
  Q_OBJECT

 public:
  // A load that breaks one of these ends as failed. A time-out of 0 disables it.
  struct Limits {
    // Decoded bytes, so a gzip bomb is bounded too. The pages we read hold a reply code of a
    // few characters, so the bound can be small; it also bounds the page helper's work.
    qint64 max_body_bytes = 64 * 1024;
    int idle_timeout_ms = 30'000;   // no bytes moving for this long
    int total_timeout_ms = 60'000;  // the whole load, however steadily it trickles
  };

  // page_helper is the program that reads the pages (see PageReader).
  Browser(QNetworkAccessManager &network, const QString &page_helper, QObject *parent = nullptr);
  ~Browser() override;

  // Begins loading address (already percent-encoded; sent as is); returns at once. Cancels this
  // browser's load in progress. Only http and https addresses are fetched; any other fails.
  void Navigate(const QString &address);

  // The loaded document serialized as markup. For a failed load: a small error page whose body
  // describes the failure and can never read as a reply code. Empty before the first load.
  QString outerHTML() const { return document_; }

  // The address of the last completed load (after redirects).
  QUrl location() const { return location_; }

  bool busy() const { return reply_ != nullptr || reader_.busy(); }

  void set_limits(const Limits &limits) { limits_ = limits; }
  // Reads pages with another helper program; for tests.
  void set_page_helper(const QString &program) { reader_.set_program(program); }

 signals:
  void DocumentComplete();

 private:
  void check_declared_length();
  void on_ready_read();
  void on_finished();
  // Ends the load with the error document; detail is what the network layer said, if anything.
  void end_load(const QString &reason, const QString &detail = {});
  void release_reply();
  void cancel_current();
  void complete(const QString &document, const QUrl &location);

  QNetworkAccessManager &network_;
  Limits limits_;
  QPointer<QNetworkReply> reply_;
  quint64 load_ = 0;  // counts Navigate() calls, so a queued report can tell it was superseded
  QString address_;   // as the caller gave it, for the error page
  QByteArray body_;
  QTimer total_timer_;
  PageReader reader_;
  QUrl location_in_progress_;  // as asked, then where the page came from once it is read
  QString document_;
  QUrl location_;
};

}  // namespace velmoth
