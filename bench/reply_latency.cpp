// Time from the last byte of a reply page to the browser's DocumentComplete: the page helper's
// start, its reading of the page and the hand-back, as a login or sign-up reply takes them.
// Serves "1" from a loopback server in this process and loads it N times (default 200); prints
// the median and 90th percentile, and the same for the helper run alone on the page.
//
//   reply_latency [N]

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/browser.h"
#include "platform/page_reader.h"

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

  QTcpServer server;
  if (!server.listen(QHostAddress::LocalHost)) return 1;
  QObject::connect(&server, &QTcpServer::newConnection, [&server] {
    QTcpSocket *socket = server.nextPendingConnection();
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
      if (!socket->readAll().contains("\r\n\r\n")) return;
      socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 1\r\n\r\n1");
    });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
  });
  const QString address = QStringLiteral("http://127.0.0.1:%1/login.asp").arg(server.serverPort());

  QNetworkAccessManager network;
  velmoth::Browser browser(network);
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
  browser.Navigate(address);
  app.exec();
  print("last body byte -> DocumentComplete", to_complete);

  std::vector<double> helper_alone;
  for (int i = 0; i < runs; ++i) {
    QElapsedTimer timer;
    timer.start();
    QProcess helper;
    helper.start(velmoth::PageReader::installed_helper(), {});
    helper.write("text/html\n1");
    helper.closeWriteChannel();
    if (!helper.waitForFinished() || helper.readAllStandardOutput().isEmpty()) return 1;
    helper_alone.push_back(double(timer.nsecsElapsed()) / 1e6);
  }
  print("page helper alone on \"1\"", helper_alone);
  return 0;
}
