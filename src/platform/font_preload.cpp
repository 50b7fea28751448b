// Loads the font configuration on a worker thread while the application starts.
#include "platform/font_preload.h"

#include <fontconfig/fontconfig.h>

namespace velmoth {

std::future<void> preload_font_configuration() {
  // FcInit loads the configuration once per process and is safe to call from any thread; Qt's
  // own call later returns the loaded one. Where no thread can be started, the load runs when
  // the future is waited for.
  return std::async(std::launch::async | std::launch::deferred, [] { FcInit(); });
}

}  // namespace velmoth
