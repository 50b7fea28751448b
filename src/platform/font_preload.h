// Preloading the font configuration off the start-up path.
#pragma once

#include <future>

namespace velmoth {

// Starts loading the system's font configuration (fontconfig's configuration files and font
// cache) on a worker thread and returns at once. Qt loads it on the GUI thread the first time a
// widget needs a font, which for this program is while the login window is built: some 6 ms of
// the start. Started before the application object is created, the load runs while Qt connects
// to the window system, and Qt then finds it loaded.
//
// Wait for the returned future before the first widget is created: a configuration Qt begins to
// load while the worker is still busy would be loaded twice (correctly, but for nothing).
std::future<void> preload_font_configuration();

}  // namespace velmoth
