#pragma once
// Hysteresis evaluation of one threshold table against the status document.

template <class Record, class Protocol, int Code>
void UniDataDevice<Record, Protocol, Code>::CheckSignalThresholdMap(ThresholdMap& rules,
                                                                    bool upper) {
  (void)rules;
  (void)upper;
}
