#pragma once
// Construction, cycle completion and the cache path of UniDataDevice.

#include <cstring>

template <class Record, class Protocol, int Code>
UniDataDevice<Record, Protocol, Code>::UniDataDevice() : data_(), b_mode_(1) {
  std::memset(&data_, 0, sizeof data_);
}

template <class Record, class Protocol, int Code>
UniDataDevice<Record, Protocol, Code>::~UniDataDevice() = default;

template <class Record, class Protocol, int Code>
int UniDataDevice<Record, Protocol, Code>::LoadFromCache(const unsigned char* data, int length) {
  (void)data;
  (void)length;
  return 0;  // TODO(cycle completion): take a cached record
}

template <class Record, class Protocol, int Code>
void UniDataDevice<Record, Protocol, Code>::RoundDone() {
  // TODO(cycle completion): stamp, hand over, evaluate, store
}

template <class Record, class Protocol, int Code>
void UniDataDevice<Record, Protocol, Code>::EvaluateAiSignals() {}
