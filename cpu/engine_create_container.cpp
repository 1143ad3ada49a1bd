// Engine creation from an open container: reads the graph records and the
// CPU precision setting, then builds the engine from them.
#include <cstdio>
#include <vector>

#include "container/container.h"
#include "container/meta.h"
#include "container/precision.h"
#include "cpu/engine.h"

namespace vorn {

namespace {

CpuCreateResult refuse(const char* text) {
  CpuCreateError e{};
  e.status = 3;
  std::snprintf(e.message, sizeof e.message, "%s", text);
  return CpuCreateResult::failure(e);
}

}  // namespace

CpuCreateResult cpu_engine_create(const ContainerHandle* container, void* weights,
                                  uint64_t requested_batch) {
  if (weights == nullptr) return refuse("missing weight storage");
  if (container == nullptr || !container_is_tensor_model(container))
    return refuse("invalid graph node/value counts in .vorn");
  const uint64_t values = container_value_count(container);
  const uint64_t nodes = container_node_count(container);
  if (values == 0 || values > kCpuMaxValues || nodes == 0 || nodes > kCpuMaxNodes)
    return refuse("invalid graph node/value counts in .vorn");
  std::vector<ValueRecord> value_records(values);
  std::vector<NodeRecord> node_records(nodes);
  for (uint64_t i = 0; i < values; ++i) value_records[i] = container_value_record(container, i);
  for (uint64_t i = 0; i < nodes; ++i) node_records[i] = container_node_record(container, i);

  PrecisionResult p = precision_for_engine(container, "cpu", 3);
  CpuPrecisionRequest precision;
  precision.valid = p.valid;
  precision.setting = p.setting;
  container_meta_f32_array(container, "calib.amax", &precision.calib_count);

  CpuGraph graph;
  graph.values = value_records;
  graph.nodes = node_records;
  graph.weights = weights;
  graph.weights_size = container->data_size;
  return cpu_engine_create_graph(graph, requested_batch, precision);
}

CpuCreateResult cpu_engine_create_entry(const ContainerHandle* container, void* weights) {
  return cpu_engine_create(container, weights, 1);
}

}  // namespace vorn
