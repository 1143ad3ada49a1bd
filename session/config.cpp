#include "session/config.h"

namespace vorn {

void config_defaults(Config* config) {
  *config = Config{};
  config->backend = VORN_BACKEND_AUTO;
  config->threads = 8;
}

}  // namespace vorn
