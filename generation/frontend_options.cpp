#include "generation/frontend_options.h"

#include <new>

namespace vorn {

void frontend_options_init(void* storage) { new (storage) FrontendOptions(); }

void frontend_options_destroy(FrontendOptions* options) {
  if (options != nullptr) options->~FrontendOptions();
}

}  // namespace vorn
