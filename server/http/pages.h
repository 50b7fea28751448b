// The service's HTML pages: home, buy, account, not logged in, errors.
#pragma once

#include <string>

#include "store/records.h"

namespace velmoth::server {

// The service's HTML pages (Chinese, UTF-8).
std::string home_page();
std::string buy_page();
std::string account_page(const AccountView &account);
std::string not_logged_in_page();
std::string error_page(int status);

}  // namespace velmoth::server
