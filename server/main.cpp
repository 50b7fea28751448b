// velmoth-server's entry: parses the command, opens the store it names and runs the command.

#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "accounts/service.h"
#include "base/text_rules.h"
#include "cli/backup_command.h"
#include "cli/command_line.h"
#include "cli/exit_codes.h"
#include "cli/operator_commands.h"
#include "cli/service_manager.h"
#include "cli/store_location.h"
#include "http/tls_identity.h"
#include "http/web_front.h"

namespace {

using namespace velmoth::server;

constexpr int kDemoCards = 5;

void print_cards(const std::vector<Card> &cards, const char *indent) {
  for (const Card &card : cards)
    std::printf("%s%s %s\n", indent, card.number.c_str(), card.password.c_str());
}

void print_demo(Service &service) {
  const bool demo_password_works = service.ensure_demo_account();
  const std::vector<Card> cards = service.add_cards(kDemoCards);
  const std::string account(Service::kDemoAccount);
  const std::string password(Service::kDemoPassword);
  std::printf("==== velmoth 演示 / demo ====\n");
  if (demo_password_works) {
    std::printf("演示账号 / demo account: %s\n", account.c_str());
    std::printf("密码 / password:         %s\n", password.c_str());
  } else {
    std::printf("账号 %s 已存在，密码不是 %s / account %s exists with another password\n",
                account.c_str(), password.c_str(), account.c_str());
  }
  std::printf("新充值卡 / new top-up cards (卡号 number, 卡密 password):\n");
  print_cards(cards, "  ");
  std::printf("=============================\n");
  std::fflush(stdout);
}

// Reads the TLS certificate and key again on SIGHUP, and says how it went in one line.
void reload_tls(TlsIdentity *tls) {
  if (!tls) {
    std::fprintf(stderr, "velmoth-server: SIGHUP: no TLS certificate to read again\n");
    return;
  }
  try {
    tls->reload();
    std::fprintf(stderr, "velmoth-server: TLS certificate and key read again; valid until %s\n",
                 utc_text(tls->expires(), "%Y-%m-%d %H:%M:%S UTC").c_str());
  } catch (const TlsError &error) {
    std::fprintf(stderr, "velmoth-server: new TLS certificate refused, the old one stays: %s\n",
                 error.what());
  }
}

int serve(const ServeCommand &command) {
  // SIGINT, SIGTERM and SIGHUP are blocked in every thread and taken by one watcher thread with
  // sigwait(), so stopping and reloading run as ordinary code rather than in a signal handler.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a client hanging up mid-reply must not kill the process

  std::unique_ptr<TlsIdentity> tls;
  if (!command.tls_certificate.empty()) {
    try {
      tls = std::make_unique<TlsIdentity>(command.tls_certificate, command.tls_key);
    } catch (const TlsError &error) {
      std::fprintf(stderr, "velmoth-server: %s\n", error.what());
      return kExitFailed;
    }
  }

  Service service(open_store(command.database, standard_error_log()));
  WebFront front(service, standard_error_log(), {}, {tls.get(), command.tls_proxies});
  const auto port = front.bind(command.host, command.port);
  const std::string host =
      command.host.find(':') == std::string::npos ? command.host : "[" + command.host + "]";
  if (!port) {
    std::fprintf(stderr, "velmoth-server: cannot listen on %s:%d\n", host.c_str(), command.port);
    return kExitFailed;
  }
  if (!tls && command.tls_proxies.empty() && !front.bound_to_loopback()) {
    std::fprintf(stderr,
                 "velmoth-server: refusing plain HTTP on %s, which is not loopback: passwords "
                 "travel in the query and anyone on the path would read them; serve HTTPS with "
                 "--tls-cert and --tls-key, or name the TLS-terminating proxies in front with "
                 "--plain-behind-tls-proxy\n",
                 host.c_str());
    return kExitUsage;
  }
  if (command.demo) print_demo(service);
  std::fprintf(stderr, "velmoth-server: listening on %s://%s:%d/\n", tls ? "https" : "http",
               host.c_str(), *port);
  notify_ready();
  // Fed through the drain as well: the front answers the probe while it refuses connections.
  Watchdog watchdog([&front] { return front.responsive(); });

  std::thread watcher([&] {
    for (;;) {
      int signal_number = 0;
      sigwait(&signals, &signal_number);
      if (signal_number != SIGHUP) break;
      notify_reloading();
      reload_tls(tls.get());
      notify_ready();
    }
    notify_stopping();
    front.stop();
  });
  const bool served = front.run();
  // Wakes the watcher when the server ended without a signal; a no-op stop() follows. SIGTERM
  // is blocked in every thread and only taken by the watcher's sigwait(), so it ends nothing.
  pthread_kill(watcher.native_handle(), SIGTERM);  // NOLINT(bugprone-bad-signal-to-kill-thread)
  watcher.join();
  if (!served) {
    std::fprintf(stderr, "velmoth-server: the HTTP server could not start on %s:%d\n", host.c_str(),
                 *port);
    return kExitFailed;
  }
  std::fprintf(stderr, "velmoth-server: stopped\n");
  return 0;
}

// The service for a one-off command: an unreachable database is reported once, by main().
std::unique_ptr<Service> one_off(const std::string &database) {
  return std::make_unique<Service>(open_store(database, [](const std::string &) {}));
}

int add_cards(const AddCardsCommand &command) {
  print_cards(one_off(command.database)->add_cards(command.count), "");
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  Command command;
  try {
    command = parse_command_line(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::invalid_argument &error) {
    std::fprintf(stderr, "velmoth-server: %s\n\n%s", error.what(), usage_text().c_str());
    return kExitUsage;
  }
  try {
    if (std::holds_alternative<HelpCommand>(command)) {
      std::printf("%s", usage_text().c_str());
      return 0;
    }
    if (const auto *serve_command = std::get_if<ServeCommand>(&command))
      return serve(*serve_command);
    if (const auto *backup_command = std::get_if<BackupCommand>(&command))
      return run_backup(*backup_command);
    if (const auto *operator_command = std::get_if<OperatorCommand>(&command)) {
      return run_operator_command(*operator_command, *one_off(operator_command->database),
                                  standard_input_password());
    }
    return add_cards(std::get<AddCardsCommand>(command));
  } catch (const StoreUnavailable &error) {
    std::fprintf(stderr, "velmoth-server: %s\n", error.what());
    return kExitUnreachable;
  } catch (const std::exception &error) {
    std::fprintf(stderr, "velmoth-server: %s\n", error.what());
    return kExitFailed;
  }
}
