// Account names under the service's rules, with ICU; new passwords' length and blanks.
#include "accounts/account_names.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/uspoof.h>

#include <memory>
#include <stdexcept>

#include "base/text_rules.h"

namespace velmoth::server {
namespace {

constexpr std::size_t kMinPasswordLength = 8;
constexpr std::size_t kMaxPasswordLength = 64;
constexpr UChar32 kSpace = 0x20;
constexpr UChar32 kIdeographicSpace = 0x3000;

const icu::Normalizer2 &checked(const icu::Normalizer2 *normalizer, UErrorCode status) {
  if (U_FAILURE(status) || !normalizer) throw std::runtime_error("ICU has no normalization data");
  return *normalizer;
}

const icu::Normalizer2 &nfc() {
  UErrorCode status = U_ZERO_ERROR;
  return checked(icu::Normalizer2::getNFCInstance(status), status);
}

const icu::Normalizer2 &nfkc() {
  UErrorCode status = U_ZERO_ERROR;
  return checked(icu::Normalizer2::getNFKCInstance(status), status);
}

struct SpoofCheckerClose {
  void operator()(USpoofChecker *checker) const { uspoof_close(checker); }
};

// Configured once; ICU allows checks on one checker from many threads.
const USpoofChecker &spoof_checker() {
  static const std::unique_ptr<USpoofChecker, SpoofCheckerClose> checker = [] {
    UErrorCode status = U_ZERO_ERROR;
    USpoofChecker *made = uspoof_open(&status);
    uspoof_setRestrictionLevel(made, USPOOF_HIGHLY_RESTRICTIVE);
    uspoof_setChecks(made, USPOOF_RESTRICTION_LEVEL | USPOOF_INVISIBLE | USPOOF_MIXED_NUMBERS,
                     &status);
    if (U_FAILURE(status)) throw std::runtime_error("ICU's spoof checker cannot be set up");
    return std::unique_ptr<USpoofChecker, SpoofCheckerClose>(made);
  }();
  return *checker;
}

// Full-width and half-width forms (and the ideographic space) replaced by their ordinary
// forms; nothing else is touched, unlike NFKC on the whole name.
icu::UnicodeString map_widths(const icu::UnicodeString &text) {
  icu::UnicodeString out;
  for (int32_t i = 0; i < text.length();) {
    const UChar32 c = text.char32At(i);
    i += U16_LENGTH(c);
    const bool width_form = (c >= 0xFF01 && c <= 0xFFEE) || c == kIdeographicSpace;
    if (!width_form) {
      out.append(c);
      continue;
    }
    UErrorCode status = U_ZERO_ERROR;
    out.append(nfkc().normalize(icu::UnicodeString(c), status));
  }
  return out;
}

bool refused_code_point(UChar32 c) {
  switch (u_charType(c)) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_UNASSIGNED:
    case U_PRIVATE_USE_CHAR:
    case U_SURROGATE:
      return true;
    default:
      return c != kSpace && u_isUWhiteSpace(c);
  }
}

std::string utf8(const icu::UnicodeString &text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

}  // namespace

std::optional<AccountName> account_name(std::string_view text) {
  if (!utf8_length(text)) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  const icu::UnicodeString display =
      nfc().normalize(map_widths(icu::UnicodeString::fromUTF8(
                          icu::StringPiece(text.data(), static_cast<int32_t>(text.size())))),
                      status);
  if (U_FAILURE(status)) return std::nullopt;
  const int32_t length = display.countChar32();
  if (length < 1 || static_cast<std::size_t>(length) > kMaxAccountNameLength) return std::nullopt;
  const UChar32 first = display.char32At(0);
  const UChar32 last = display.char32At(display.length() - 1);
  if (first == kSpace || last == kSpace || (U_GET_GC_MASK(first) & U_GC_M_MASK))
    return std::nullopt;
  for (int32_t i = 0; i < display.length();) {
    const UChar32 c = display.char32At(i);
    if (refused_code_point(c)) return std::nullopt;
    i += U16_LENGTH(c);
  }
  if (uspoof_check2UnicodeString(&spoof_checker(), display, nullptr, &status) != 0 ||
      U_FAILURE(status))
    return std::nullopt;

  icu::UnicodeString folded(display);
  folded.foldCase();
  const icu::UnicodeString key = nfc().normalize(folded, status);
  icu::UnicodeString skeleton;
  uspoof_getSkeletonUnicodeString(&spoof_checker(), 0, key, skeleton, &status);
  if (U_FAILURE(status)) return std::nullopt;
  return AccountName{utf8(display), utf8(key), utf8(skeleton)};
}

bool acceptable_new_password(std::string_view password) {
  const auto length = utf8_length(password);
  if (!length || *length < kMinPasswordLength || *length > kMaxPasswordLength) return false;
  const icu::UnicodeString text = icu::UnicodeString::fromUTF8(
      icu::StringPiece(password.data(), static_cast<int32_t>(password.size())));
  for (int32_t i = 0; i < text.length();) {
    const UChar32 c = text.char32At(i);
    if (!u_isUWhiteSpace(c)) return true;
    i += U16_LENGTH(c);
  }
  return false;
}

}  // namespace velmoth::server
