#pragma once
// The metric sampler: one pass refreshes the MetricSnapshot.

namespace agent {

// Runs one sampling pass, serving clients on listen_socket between readings.
void PerformMonitoring(int listen_socket);

}  // namespace agent
