// Reading a page in the sandboxed page helper, off the UI thread.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QTimer>

namespace velmoth {

// Reads a fetched page in the page helper (velmoth-page), a program of its own that restricts
// itself before it reads a byte: charset decoding, the HTML parser and the serializer never run
// in the client's process. One helper per page, started ahead of it (see prepare()). A helper
// that cannot start, crashes, is killed by its limits, takes longer than two seconds, or writes
// too much or anything but UTF-8, makes the read fail.
class PageReader : public QObject {
  Q_OBJECT

 public:
  // program is the page helper to run.
  explicit PageReader(const QString &program, QObject *parent = nullptr);
  ~PageReader() override;

  // Starts a helper for the next page, unless one is waiting already: it starts while the page
  // is on its way, so that the page costs no more than its reading once it is here.
  void prepare();
  // Starts reading the page; read() or failed() follows, unless cancel() or another start()
  // comes first. Returns at once.
  void start(const QByteArray &body, const QByteArray &content_type);
  // Ends the read in progress, if any; it is never reported. A helper waiting for a page stays.
  void cancel();
  bool busy() const { return reading_; }

  // Another helper program, for tests.
  void set_program(const QString &program);

 signals:
  void read(const QString &markup);
  void failed();

 private:
  void on_output();
  void on_finished(int exit_code, QProcess::ExitStatus status);
  void stop_process();
  void fail();

  QString program_;
  QPointer<QProcess> process_;
  QByteArray output_;
  bool reading_ = false;  // the helper has its page
  QTimer deadline_;
};

}  // namespace velmoth
