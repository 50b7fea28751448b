// The rules for account names (ICU: widths, NFC, case folding, spoof checks) and new passwords.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "store/records.h"

namespace velmoth::server {

constexpr std::size_t kMaxAccountNameLength = 32;  // in code points, after mapping

// The name under the service's rules, or nothing when it breaks them. Full-width and half-width
// forms are mapped to their ordinary forms and the result is NFC-normalized. Refused: malformed
// UTF-8; more than kMaxAccountNameLength code points; control, format (zero-width, bidi),
// unassigned, private-use or surrogate code points; blanks other than the ordinary space; a
// leading or trailing blank (so also blanks only); a combining mark with no letter before it;
// and a mix of scripts that ICU's spoof checker does not allow at its highly restrictive level
// (Latin with Han or Japanese is fine, Latin with Cyrillic is not).
std::optional<AccountName> account_name(std::string_view text);

// Password for a new account: 8 to 64 code points of well-formed UTF-8, not all blanks.
bool acceptable_new_password(std::string_view password);

}  // namespace velmoth::server
