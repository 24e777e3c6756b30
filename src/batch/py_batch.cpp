// BatchAggregator's method entries (placeholder until the aggregator lands).
#include "module/types.hpp"

namespace sablecrest {
namespace {
struct BatchRecord {};
PyMethodDef g_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};
}  // namespace

ClassSpec g_batch_aggregator_class{
    "BatchAggregator", "BatchAggregator()\n--\n\n", instance_new<BatchRecord, g_batch_aggregator_class>,
    instance_dealloc<BatchRecord>, g_methods, instance_size<BatchRecord>(),
};
}  // namespace sablecrest
