// What every window is built with: addresses, the network manager, file locations.
#pragma once

#include <QString>

class QNetworkAccessManager;

namespace velmoth {

// The page helper beside the client's executable, else where it is installed.
QString installed_page_helper();

// What every window is built with: the addresses it loads, the application's one network
// manager (one cookie store and connection pool for all windows) and the page helper its
// browser reads pages with.
struct WindowContext {
  QString service_url;  // WebURL; ends with "/"
  QString home_url;     // home page of the service's web site; ends with "/"
  QNetworkAccessManager *network = nullptr;
  QString credentials_path;  // where the login window remembers the account
  QString page_helper = installed_page_helper();

  QString buy_url() const { return home_url + QStringLiteral("buy.html"); }
};

}  // namespace velmoth
