#include "platform/ui.h"

namespace platform {

// Without a window back end every run is headless.
std::unique_ptr<Ui> CreateUi() { return CreateConsoleUi(); }

}  // namespace platform
