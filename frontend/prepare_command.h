// The chat tool's prepare command: runs only the request preparation of a
// generative model (prompt rendering, tokens, images) on the options
// dictionary and writes the prepared-input directory, optionally decoding a
// list of token ids back to text into the manifest and onto standard
// output.
#pragma once
#include <cstdint>
#include <nlohmann/json.hpp>

namespace vorn {

// metadata and length: the container's header and metadata image; fd: the
// model file's descriptor (the container at its base offset). Returns 1
// when inputs.json was written, 0 after "vorn prepare: <message>" was
// printed on standard error.
int prepare_command(const uint8_t* metadata, uint64_t length, int fd, uint64_t base_offset,
                    const nlohmann::json& options);

}  // namespace vorn
