#pragma once

#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>
#include <cstdio>

namespace velmoth::testing {

// Sends what the process writes on standard error to a file while it lives, then restores it.
class StderrCapture {
 public:
  StderrCapture() {
    file_.open();
    std::fflush(stderr);
    saved_ = ::dup(STDERR_FILENO);
    ::dup2(file_.handle(), STDERR_FILENO);
  }
  ~StderrCapture() { restore(); }
  StderrCapture(const StderrCapture &) = delete;
  StderrCapture &operator=(const StderrCapture &) = delete;

  // The lines written so far that start with prefix.
  QStringList lines_starting(const QString &prefix) {
    std::fflush(stderr);
    QFile reader(file_.fileName());
    QStringList found;
    if (!reader.open(QIODevice::ReadOnly)) return found;
    for (const QByteArray &line : reader.readAll().split('\n')) {
      const QString text = QString::fromUtf8(line);
      if (text.startsWith(prefix)) found << text;
    }
    return found;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    saved_ = -1;
  }

  QTemporaryFile file_;
  int saved_ = -1;
};

}  // namespace velmoth::testing
