// The last step of a conversion: the finished BuilderState as a .vorn
// container, laid out and signed by the container writer. Every weight is
// stored as a flat F32 tensor; its real shape and kind are in its value
// record.
#pragma once
#include <string>

#include "base/bytes.h"
#include "container/writer.h"
#include "converter/builder_state.h"

namespace vorn {

// Builds the container description of the state. Adds the placeholder
// weight "vorn.placeholder_weight" when the graph has no weight (a
// container holds at least one tensor). The description borrows the state's names
// and data. False with a message when a value cannot be recorded.
bool container_output_spec(BuilderState& s, ContainerSpec* spec, std::string* error);

// Writes the container to vorn_path through a temporary file in the same
// directory that is renamed into place, so a failed conversion leaves no
// partial file. Empty on success, else the message.
ByteString container_output_write(BuilderState& s, Slice vorn_path);

}  // namespace vorn
