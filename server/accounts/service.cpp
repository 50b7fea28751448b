// Logins (throttled, constant-time), sign-ups that spend a card, sessions, cards and operator
// changes.
#include "accounts/service.h"

#include <sodium.h>

#include <stdexcept>
#include <thread>
#include <utility>

#include "accounts/account_names.h"
#include "base/text_rules.h"

namespace velmoth::server {
namespace {

constexpr std::size_t kTokenBytes = 16;  // 128 random bits
constexpr int kCardNumberDigits = 16;
constexpr int kCardPasswordLength = 8;
// Letters and digits without the look-alikes 0/O, 1/l/I, so a card can be typed from paper.
constexpr std::string_view kCardPasswordAlphabet =
    "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnpqrstuvwxyz23456789";

std::string to_hex(const unsigned char *bytes, std::size_t size) {
  std::string hex(size * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), bytes, size);
  hex.pop_back();
  return hex;
}

std::string new_session_token() {
  unsigned char bytes[kTokenBytes];
  randombytes_buf(bytes, sizeof bytes);
  return to_hex(bytes, sizeof bytes);
}

bool is_session_token(std::string_view text) {
  if (text.size() != kTokenBytes * 2) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Only this digest of a session token is stored, so a copy of the database does not hand out
// live sessions.
std::string token_digest(std::string_view token) {
  unsigned char digest[crypto_generichash_BYTES];
  crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char *>(token.data()),
                     token.size(), nullptr, 0);
  return to_hex(digest, sizeof digest);
}

Card new_card() {
  Card card;
  card.number += static_cast<char>('1' + randombytes_uniform(9));
  for (int i = 1; i < kCardNumberDigits; ++i)
    card.number += static_cast<char>('0' + randombytes_uniform(10));
  for (int i = 0; i < kCardPasswordLength; ++i)
    card.password += kCardPasswordAlphabet[randombytes_uniform(
        static_cast<std::uint32_t>(kCardPasswordAlphabet.size()))];
  return card;
}

}  // namespace

Service::Service(std::unique_ptr<Store> store, ServiceOptions options)
    : options_(std::move(options)),
      hasher_(options_.hash_cost, options_.max_parallel_hashes),
      store_(std::move(store)),
      throttle_(*store_) {
  // Measures the hash time before the first refused login needs it.
  hasher_.hash(new_session_token());
}

std::int64_t Service::now_seconds() const {
  return std::chrono::duration_cast<std::chrono::seconds>(now().time_since_epoch()).count();
}

std::optional<std::string> Service::log_in(std::string_view account, std::string_view password,
                                           std::string_view client_address) {
  LoginOutcome outcome = try_log_in(account, password, client_address);
  std::this_thread::sleep_for(outcome.hold);
  return std::move(outcome.token);
}

Service::LoginOutcome Service::try_log_in(std::string_view account, std::string_view password,
                                          std::string_view client_address) {
  // Malformed input is refused before it costs a database lookup or a hash.
  if (!valid_account_name(account) || !valid_password(password)) return {};
  const auto name = account_name(account);
  const std::string key = name ? name->key : std::string(account);
  const std::int64_t now = now_seconds();
  const auto stored = store_->find_login_account(account, key);
  // Counted as a failure before the slow check, so tries sent together cannot all pass.
  const LoginThrottle::Attempt attempt =
      throttle_.begin_attempt(key, client_address, now, stored.has_value());
  // A refused try or a missing account costs no hash, only the time one takes, so it tells
  // nothing about the password or the account and cannot tie up the hashing threads.
  if (!stored || !attempt.allowed)
    return {std::nullopt, hasher_.typical_time(),
            attempt.allowed ? LoginResult::Refused : LoginResult::Throttled};
  if (!hasher_.verify(stored->password_hash, password))
    return {std::nullopt, {}, LoginResult::Wrong};

  // The account may have been disabled or given a new password while the hash ran: the store
  // makes the session only for the hash just verified, on an account still enabled.
  std::string token = new_session_token();
  if (!store_->add_session(token_digest(token), stored->id, stored->password_hash,
                           now + options_.session_lifetime.count(), now))
    return {};
  throttle_.record_success(attempt);
  return {std::move(token), {}, LoginResult::Accepted};
}

std::optional<AccountView> Service::account_for_session(std::string_view token) {
  if (!is_session_token(token)) return std::nullopt;
  return store_->session_account(token_digest(token), now_seconds());
}

SignupResult Service::sign_up(const SignupForm &form) {
  const auto name = account_name(form.account);
  if (!name || !acceptable_new_password(form.password) || !valid_qq(form.qq) ||
      !valid_card_field(form.card_number) || !valid_card_field(form.card_password))
    return SignupResult::Invalid;

  // Cheap checks first, then the slow hashing without holding the store; the decisive step
  // checks again.
  if (store_->name_taken(*name)) return SignupResult::AccountTaken;
  // No card holds other bytes, and not every store could even look such a number up.
  if (!printable_ascii(form.card_number) || !printable_ascii(form.card_password))
    return SignupResult::CardRefused;
  const auto card = store_->find_unused_card(form.card_number);
  if (!card || !hasher_.verify(card->password_hash, form.card_password))
    return SignupResult::CardRefused;
  const NewAccount account{*name, hasher_.hash(form.password), form.qq, now_seconds()};
  return store_->create_account_spending_card(account, card->id);
}

std::vector<Card> Service::add_cards(int count) {
  if (count < 1) throw std::invalid_argument("the number of cards must be at least 1");
  std::vector<Card> cards;
  std::vector<std::string> hashes;
  for (int i = 0; i < count; ++i) {
    cards.push_back(new_card());
    hashes.push_back(hasher_.hash(cards.back().password));
  }
  // A number that is already taken (about one chance in 10^15 per card) is drawn again.
  store_->add_cards(cards, hashes, now_seconds(), [] { return new_card().number; });
  return cards;
}

bool Service::ensure_demo_account() {
  const auto name = account_name(kDemoAccount);
  const auto demo_works = [&] {
    const auto existing = store_->find_login_account(kDemoAccount, name->key);
    return existing && hasher_.verify(existing->password_hash, kDemoPassword);
  };
  if (demo_works()) return true;
  const NewAccount demo{*name, hasher_.hash(kDemoPassword), std::string(kDemoQq), now_seconds()};
  // Not created: the name (or a look-alike) was there already, or has just been taken.
  return store_->create_account(demo) || demo_works();
}

std::optional<AccountRecord> Service::find_account(std::string_view name) {
  const auto checked = account_name(name);
  return store_->find_account(name, checked ? std::string_view(checked->key) : name);
}

RevokeResult Service::revoke_card(std::string_view number) {
  return store_->revoke_card(number, now_seconds());
}

bool Service::set_account_disabled(std::string_view name, bool disabled) {
  const auto account = find_account(name);
  if (!account) return false;
  store_->set_account_disabled(account->id, disabled ? now_seconds() : 0);
  return true;
}

Service::PasswordChange Service::set_password(std::string_view name, std::string_view password) {
  const auto account = find_account(name);
  if (!account) return PasswordChange::NoSuchAccount;
  if (!acceptable_new_password(password)) return PasswordChange::Unacceptable;
  store_->set_password_hash(account->id, hasher_.hash(password));
  return PasswordChange::Changed;
}

bool Service::ready() {
  try {
    store_->ping();
    return true;
  } catch (const StoreError &) {
  } catch (const StoreUnavailable &) {
  }
  return false;
}

}  // namespace velmoth::server
