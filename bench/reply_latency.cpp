// Time from the last byte of a reply page to the browser's DocumentComplete, as a login or
// sign-up reply takes it. The browser starts the page helper when it sends the request, so the
// helper's start overlaps the service's work; a server that answers at once leaves it all on
// the reply's path. Serves "1" from a loopback server in this process, at once and after
// DELAY ms (default 50; the reference service takes about 75 ms for a login), N times each
// (default 200); prints medians and 90th percentiles, and the same for the helper run alone.
//
//   reply_latency [N] [DELAY]

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/window_context.h"
#include "platform/browser.h"

namespace {

void print(const char *what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  std::printf("%-40s median %6.2f ms   p90 %6.2f ms   (%zu runs)\n", what, ms[ms.size() / 2],
              ms[ms.size() * 9 / 10], ms.size());
}

}  // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
  const int delay_ms = argc > 2 ? std::max(0, std::atoi(argv[2])) : 50;
  int answer_after_ms = 0;

  QTcpServer server;
  if (!server.listen(QHostAddress::LocalHost)) return 1;
  QObject::connect(&server, &QTcpServer::newConnection, [&] {
    QTcpSocket *socket = server.nextPendingConnection();
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, &answer_after_ms] {
      if (!socket->readAll().contains("\r\n\r\n")) return;
      QTimer::singleShot(answer_after_ms, socket, [socket] {
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 1\r\n\r\n1");
      });
    });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
  });
  const QString address = QStringLiteral("http://127.0.0.1:%1/login.asp").arg(server.serverPort());

  QNetworkAccessManager network;
  velmoth::Browser browser(network, velmoth::installed_page_helper());
  QElapsedTimer since_last_byte;
  // The manager reports a finished reply before the browser hears of it.
  QObject::connect(&network, &QNetworkAccessManager::finished, [&] { since_last_byte.start(); });
  std::vector<double> to_complete;
  QObject::connect(&browser, &velmoth::Browser::DocumentComplete, [&] {
    to_complete.push_back(double(since_last_byte.nsecsElapsed()) / 1e6);
    if (!browser.outerHTML().contains(QLatin1String("<BODY>1</BODY>"))) std::abort();
    if (int(to_complete.size()) < runs)
      browser.Navigate(address);
    else
      app.quit();
  });
  for (const int after_ms : {0, delay_ms}) {
    answer_after_ms = after_ms;
    to_complete.clear();
    browser.Navigate(address);
    app.exec();
    print(after_ms ? "last byte -> DocumentComplete, answer later"
                   : "last byte -> DocumentComplete, answer at once",
          to_complete);
  }

  std::vector<double> helper_alone;
  for (int i = 0; i < runs; ++i) {
    QElapsedTimer timer;
    timer.start();
    QProcess helper;
    helper.start(velmoth::installed_page_helper(), {});
    helper.write("text/html\n1");
    helper.closeWriteChannel();
    if (!helper.waitForFinished() || helper.readAllStandardOutput().isEmpty()) return 1;
    helper_alone.push_back(double(timer.nsecsElapsed()) / 1e6);
  }
  print("page helper alone on \"1\"", helper_alone);
  return 0;
}
