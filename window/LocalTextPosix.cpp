#include "window/Texts.h"

namespace window {

// File names and messages are UTF-8 here already.
std::string LocalToUtf8(const std::string& local) { return local; }

}  // namespace window
