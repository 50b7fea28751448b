// The route table and one handler per endpoint:
//   /             home page               /buy.html     how to get top-up cards
//   /login.asp    u, p       -> "0" | "1" (on "1" also a session cookie)
//   /reg.asp      u, p, q, cn, cc -> "0" | "1" | "2" | "3"
//   /account.asp  the logged-in account, or a "not logged in" page; status 200 either way, so
//                 a browser shows the page rather than an error
//   /healthz      "ok" while the process answers requests
//   /readyz       "ok" when the store answers and the front is not stopping, else 503
// Every route that reads the store does so in its work, off the I/O threads.
// A "t" parameter, when sent, only keeps caches from answering with an old copy; it is ignored.
#include "http/routes.h"

#include <iterator>

#include "http/front_metrics.h"
#include "http/pages.h"

namespace velmoth::server {
namespace {

// The sign-up page's answer code for result.
char signup_code(SignupResult result) {
  switch (result) {
    case SignupResult::AccountTaken:
      return '1';
    case SignupResult::CardRefused:
      return '2';
    case SignupResult::Created:
      return '3';
    case SignupResult::Invalid:
      break;
  }
  return '0';
}

// The sign-up page's answer for result, counted by its code.
Answer signup_answer(SignupResult result) {
  const char code = signup_code(result);
  front_metrics().signups.at(static_cast<std::size_t>(code - '0')).add();
  return Answer::code(code);
}

RouteAnswer home(Service &, const RouteRequest &) { return {Answer::page(home_page()), {}}; }

RouteAnswer buy(Service &, const RouteRequest &) { return {Answer::page(buy_page()), {}}; }

RouteAnswer account(Service &service, const RouteRequest &request) {
  if (request.session.empty()) return {Answer::page(not_logged_in_page(), true), {}};
  return {{}, [&service, session = request.session] {
            const auto account = service.account_for_session(session);
            return Answer::page(account ? account_page(*account) : not_logged_in_page(), true);
          }};
}

RouteAnswer login(Service &service, const RouteRequest &request) {
  const auto account = request.single("u");
  const auto password = request.single("p");
  return {{}, [&service, account, password, client = request.client] {
            const auto [token, hold, result] = account && password
                                                   ? service.try_log_in(*account, *password, client)
                                                   : Service::LoginOutcome{};
            front_metrics().logins.at(static_cast<std::size_t>(result)).add();
            Answer reply = Answer::code(token ? '1' : '0');
            reply.hold = hold;
            if (token)
              reply.headers.emplace_back("Set-Cookie", std::string(kSessionCookie) + "=" + *token +
                                                           "; HttpOnly; Path=/; SameSite=Lax");
            return reply;
          }};
}

RouteAnswer signup(Service &service, const RouteRequest &request) {
  const auto account = request.single("u");
  const auto password = request.single("p");
  const auto qq = request.single("q");
  const auto card_number = request.single("cn");
  const auto card_password = request.single("cc");
  if (!account || !password || !qq || !card_number || !card_password)
    return {signup_answer(SignupResult::Invalid), {}};
  SignupForm form{*account, *password, *qq, *card_number, *card_password};
  return {{}, [&service, form] { return signup_answer(service.sign_up(form)); }};
}

// A health check's answer: short text, nothing secret, never cached.
Answer health(int status, const char *text) {
  Answer answer;
  answer.status = status;
  answer.body = text;
  answer.headers.emplace_back("Cache-Control", "no-store");
  return answer;
}

RouteAnswer alive(Service &, const RouteRequest &) { return {health(200, "ok"), {}}; }

RouteAnswer ready(Service &service, const RouteRequest &request) {
  if (request.stopping) return {health(503, "not ready"), {}};
  return {{},
          [&service] { return service.ready() ? health(200, "ok") : health(503, "not ready"); }};
}

struct Route {
  std::string_view path;
  RouteHandler handler;
};

constexpr Route kRoutes[] = {
    {"/", home},          {"/buy.html", buy},  {"/account.asp", account}, {"/login.asp", login},
    {"/reg.asp", signup}, {"/healthz", alive}, {"/readyz", ready},
};
static_assert(std::size(kRoutes) == kRouteCount);

}  // namespace

std::optional<std::string> RouteRequest::single(std::string_view key) const {
  std::optional<std::string> found;
  for (const auto &[k, v] : query) {
    if (k != key) continue;
    if (found) return std::nullopt;
    found = v;
  }
  return found;
}

RouteHandler find_route(std::string_view path) {
  const std::size_t index = route_index(path);
  return index < kRouteCount ? kRoutes[index].handler : nullptr;
}

std::size_t route_index(std::string_view path) {
  std::size_t index = 0;
  while (index < kRouteCount && kRoutes[index].path != path) ++index;
  return index;
}

std::string_view route_path(std::size_t index) { return kRoutes[index].path; }

}  // namespace velmoth::server
