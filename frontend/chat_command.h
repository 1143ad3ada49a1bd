// The chat tool's chat command: one generation from the options
// dictionary, its answer on standard output (streamed when asked), and the
// generation report when "report" is given.
#pragma once
#include <nlohmann/json.hpp>

namespace vorn {

// Returns 1 on success; 0 after "vorn: [<code>] <message>" was printed on
// standard error, the code being the library's status code.
int chat_command(const nlohmann::json& options);

}  // namespace vorn
