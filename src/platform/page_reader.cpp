// Runs the page helper on a received page and reads its output.
#include "platform/page_reader.h"

#include <QByteArrayView>

#include "page/helper_limits.h"

namespace velmoth {

namespace {

constexpr int kTimeoutMs = 2000;

}  // namespace

PageReader::PageReader(const QString &program, QObject *parent)
    : QObject(parent), program_(program) {
  deadline_.setSingleShot(true);
  connect(&deadline_, &QTimer::timeout, this, &PageReader::fail);
}

PageReader::~PageReader() {
  stop_process();
  // Killed helpers are reaped here: the event loop that would notice their end may not turn
  // again, and Qt warns of every process destroyed while it runs.
  for (QProcess *process : findChildren<QProcess *>()) process->waitForFinished();
}

void PageReader::prepare() {
  if (process_) return;
  process_ = new QProcess(this);
  process_->setStandardErrorFile(QProcess::nullDevice());
  connect(process_, &QProcess::readyReadStandardOutput, this, &PageReader::on_output);
  connect(process_, &QProcess::finished, this, &PageReader::on_finished);
  connect(process_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
    // A crash or a kill is reported by finished() as well.
    if (error == QProcess::FailedToStart) on_finished(-1, QProcess::CrashExit);
  });
  process_->start(program_, {});
}

void PageReader::start(const QByteArray &body, const QByteArray &content_type) {
  cancel();
  prepare();
  if (!process_) {  // it could not be started
    emit failed();
    return;
  }
  reading_ = true;
  deadline_.start(kTimeoutMs);
  // The header is one line: a value that holds a line break (no server sends one) is cut there.
  QByteArray header = content_type.left(qsizetype(page_helper::kMaxContentTypeBytes));
  const qsizetype line_break = header.indexOf('\n');
  if (line_break >= 0) header.truncate(line_break);
  process_->write(header + '\n');
  process_->write(body);
  process_->closeWriteChannel();
}

void PageReader::cancel() {
  if (reading_) stop_process();
}

void PageReader::set_program(const QString &program) {
  stop_process();
  program_ = program;
}

void PageReader::on_output() {
  if (!reading_) return;
  output_ += process_->readAllStandardOutput();
  if (std::size_t(output_.size()) > page_helper::kMaxMarkupBytes) fail();
}

void PageReader::on_finished(int exit_code, QProcess::ExitStatus status) {
  if (!reading_) {  // a helper that ended before it had a page: the page gets another
    stop_process();
    return;
  }
  output_ += process_->readAllStandardOutput();
  if (status != QProcess::NormalExit || exit_code != 0 ||
      std::size_t(output_.size()) > page_helper::kMaxMarkupBytes ||
      !QByteArrayView(output_).isValidUtf8()) {
    fail();
    return;
  }
  const QString markup = QString::fromUtf8(output_);
  stop_process();
  // Last: a receiver may start the next read or destroy this reader.
  emit read(markup);
}

void PageReader::fail() {
  stop_process();
  emit failed();
}

void PageReader::stop_process() {
  reading_ = false;
  deadline_.stop();
  output_.clear();
  if (!process_) return;
  QProcess *process = process_;
  process_ = nullptr;
  disconnect(process, nullptr, this, nullptr);
  if (process->state() == QProcess::NotRunning) {
    process->deleteLater();
    return;
  }
  // Killed without waiting; it is reaped and deleted when its end is noticed.
  connect(process, &QProcess::finished, process, &QObject::deleteLater);
  process->kill();
}

}  // namespace velmoth
