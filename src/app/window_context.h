#pragma once

#include <QString>

class QNetworkAccessManager;

namespace velmoth {

// What every window is built with: the addresses it loads and the application's one network
// manager (one cookie store and connection pool for all windows).
struct WindowContext {
  QString service_url;  // WebURL; ends with "/"
  QString home_url;     // home page of the service's web site; ends with "/"
  QNetworkAccessManager *network = nullptr;
  QString credentials_path;  // where the login window remembers the account

  QString buy_url() const { return home_url + QStringLiteral("buy.html"); }
};

}  // namespace velmoth
