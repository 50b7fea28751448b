// The service's pages in Chinese, with every stored value escaped.
#include "http/pages.h"

#include "base/text_rules.h"

namespace velmoth::server {
namespace {

std::string page(const std::string &title, const std::string &body) {
  return "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n<title>" +
         title + "</title>\n</head>\n<body>\n" + body + "</body>\n</html>\n";
}

}  // namespace

std::string home_page() {
  return page("velmoth 服务",
              "<h1>velmoth 服务</h1>\n"
              "<p>欢迎使用 velmoth。请在客户端登录或注册账号。</p>\n"
              "<ul>\n"
              "<li><a href=\"/buy.html\">获取充值卡</a></li>\n"
              "<li><a href=\"/account.asp\">我的账号</a></li>\n"
              "</ul>\n");
}

std::string buy_page() {
  return page(
      "获取充值卡",
      "<h1>获取充值卡</h1>\n"
      "<p>注册账号需要一张未使用的充值卡（卡号和卡密）。每张卡只能使用一次。</p>\n"
      "<p>服务管理员可以用下面的命令生成新卡，每行输出一张卡的卡号和卡密：</p>\n"
      "<pre>velmoth-server add-cards --db 数据库文件 张数</pre>\n"
      "<p>例如 <code>velmoth-server add-cards --db velmoth.db 10</code> 生成 10 张卡。</p>\n"
      "<p><a href=\"/\">返回首页</a></p>\n");
}

std::string account_page(const AccountView &account) {
  return page("我的账号",
              "<h1>我的账号</h1>\n"
              "<table>\n"
              "<tr><th>账号</th><td id=\"account\">" +
                  html_escape(account.name) +
                  "</td></tr>\n"
                  "<tr><th>绑定 QQ</th><td id=\"qq\">" +
                  html_escape(account.qq) +
                  "</td></tr>\n"
                  "<tr><th>注册时间</th><td id=\"created\">" +
                  utc_text(account.created, "%Y-%m-%d %H:%M:%S UTC") +
                  "</td></tr>\n"
                  "</table>\n"
                  "<p><a href=\"/\">返回首页</a></p>\n");
}

std::string not_logged_in_page() {
  return page("未登录",
              "<h1>未登录</h1>\n"
              "<p>您尚未登录，或登录已过期。请先在客户端登录。</p>\n"
              "<p><a href=\"/\">返回首页</a></p>\n");
}

std::string error_page(int status) {
  const char *text = "请求无法处理";
  switch (status) {
    case 404:
      text = "页面不存在";
      break;
    case 405:
      text = "不支持此请求方法";
      break;
    case 414:
      text = "请求地址过长";
      break;
    case 500:
      text = "服务器内部错误";
      break;
    default:
      break;
  }
  const std::string heading = std::to_string(status) + " " + text;
  return page(heading, "<h1>" + heading + "</h1>\n");
}

}  // namespace velmoth::server
