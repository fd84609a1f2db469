// /metrics: every board in the Prometheus text format (version 0.0.4), from
// the last status reading and the boards' counters, so that a lab's existing
// monitoring watches the bench without a board exchange per scrape.
#pragma once

#include <string>
#include <vector>

namespace kestreld {

class BoardWorker;
class StatusHub;

std::string prometheusText(const std::vector<BoardWorker*>& boards, const StatusHub& hub);

}  // namespace kestreld
