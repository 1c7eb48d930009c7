// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "sinks/SinkKind.h"

// The Prometheus endpoint as a kind of sink: the configuration's "prometheus" member, an HTTP
// server answering GET /metrics with what every device measured in its last cycle, its link,
// its alarm rules and its counters. It never blocks a line: the lines update a book under a
// short lock, and each scrape renders from a copy of it.
SinkKind PrometheusSinkKind();
