// Start-up and memory of the real program. Builds the application object the way main() does,
// runs the program's own start path (velmoth::Program, what velmoth::start() runs before the
// event loop) against a loopback responder, and quits:
//
//   startup_velmoth                once the login window's first frame is painted;
//   startup_velmoth --main-window  after logging in, once the main window's first frame is
//                                  painted (the login reply is read on the request cycle's
//                                  first one-second tick).

#include <QApplication>
#include <QHostAddress>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/start.h"
#include "app/window_flow.h"
#include "first_expose.h"
#include "login/form1.h"

namespace {

QByteArray page(const QByteArray &title, const QByteArray &body) {
  return "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n<title>" +
         title + "</title>\n</head>\n<body>\n" + body + "</body>\n</html>\n";
}

// What the service answers: the home page for the login window's first load, "1" for a login,
// the account page for the main window.
QByteArray reply_body(const QByteArray &path) {
  if (path.startsWith("/login.asp")) return "1";
  if (path.startsWith("/account.asp"))
    return page("我的账号",
                "<h1>我的账号</h1>\n<table>\n"
                "<tr><th>账号</th><td id=\"account\">demo</td></tr>\n"
                "<tr><th>绑定 QQ</th><td id=\"qq\">10000</td></tr>\n"
                "<tr><th>注册时间</th><td id=\"created\">2024-01-01 00:00:00 UTC</td></tr>\n"
                "</table>\n<p><a href=\"/\">返回首页</a></p>\n");
  return page("Velmoth 服务",
              "<h1>Velmoth 服务</h1>\n<p>欢迎使用 Velmoth。请在客户端登录或注册账号。</p>\n"
              "<ul>\n<li><a href=\"/buy.html\">获取充值卡</a></li>\n"
              "<li><a href=\"/account.asp\">我的账号</a></li>\n</ul>\n");
}

// A minimal HTTP/1.1 peer on 127.0.0.1 with keep-alive, enough for the program's GET requests.
class LoopbackService {
 public:
  LoopbackService() {
    QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
      while (QTcpSocket *socket = server_.nextPendingConnection()) serve(socket);
    });
    if (!server_.listen(QHostAddress::LocalHost, 0)) {
      std::fprintf(stderr, "startup_velmoth: cannot listen on 127.0.0.1\n");
      std::exit(1);
    }
  }

  QString base_url() const {
    return QStringLiteral("http://127.0.0.1:%1/").arg(server_.serverPort());
  }

 private:
  static void serve(QTcpSocket *socket) {
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    auto pending = std::make_shared<QByteArray>();
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, pending] {
      *pending += socket->readAll();
      for (qsizetype end; (end = pending->indexOf("\r\n\r\n")) >= 0;) {
        const QByteArray request_line = pending->left(pending->indexOf("\r\n"));
        pending->remove(0, end + 4);
        const QList<QByteArray> parts = request_line.split(' ');
        const QByteArray body = reply_body(parts.size() > 1 ? parts[1] : QByteArray("/"));
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
                      "Content-Length: " +
                      QByteArray::number(body.size()) + "\r\n\r\n" + body);
      }
    });
  }

  QTcpServer server_;
};

}  // namespace

int main(int argc, char *argv[]) {
  const bool main_window = argc > 1 && std::strcmp(argv[1], "--main-window") == 0;

  // As main() does: Qt sees only the program's own name.
  int qt_argc = 1;
  char *qt_argv[] = {argv[0], nullptr};
  QApplication app(qt_argc, qt_argv);

  LoopbackService service;
  // Every action is in place before the program shows its first window.
  std::unique_ptr<velmoth::Program> program;
  velmoth::bench::FirstExposeWatch watch;
  if (!main_window) {
    watch.quit_after_first_frame(QStringLiteral("Form1"));
  } else {
    watch.on_first_expose(QStringLiteral("Form1"), [&program] {
      velmoth::Form1 &login = *program->flow().form1();
      login.findChild<QLineEdit *>(QStringLiteral("Text1"))->setText(QStringLiteral("demo"));
      login.findChild<QLineEdit *>(QStringLiteral("Text2"))->setText(QStringLiteral("demo-pass"));
      login.findChild<QPushButton *>(QStringLiteral("Command2"))->click();
    });
    watch.quit_after_first_frame(QStringLiteral("Form3"));
  }
  program = std::make_unique<velmoth::Program>(app, service.base_url());
  return app.exec();
}
