#include "agent/MetricSnapshot.h"

namespace agent {

MetricSnapshot& TheMetricSnapshot() {
  static MetricSnapshot snapshot;
  return snapshot;
}

}  // namespace agent
