// What the benchmark observes of one run of the program on the stand-in,
// through link-time wrappers (-Wl,--wrap=...) around the calls that the
// program waits on and allocates with: the virtual time it waits and why,
// and the bytes of its heap blocks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bench {

struct Observation {
  // Virtual milliseconds slept right after the program saw a busy resource:
  // a service not yet in the state asked for, a file that could not be
  // created or deleted, a window still open (or not yet there), a monitor
  // registration refused; and the time spent inside wait functions (the
  // tray companion's mutex).
  uint64_t forcedMs = 0;
  // Sleeps that the rules make fixed: the pause after a missing tray Run value.
  uint64_t fixedMs = 0;
  // Sleeps after an observation that found the resource ready, or with no
  // observation before them.
  uint64_t unforcedMs = 0;
  size_t sleeps = 0;
  // Bytes of the program's live HeapAlloc/GlobalAlloc blocks: at the start
  // of the observation and the most at any moment during it.
  size_t startBytes = 0;
  size_t peakBytes = 0;
};

// Starts a new observation (forgets the waits; the heap figures start from
// the blocks live now).
void StartObservation();
const Observation& CurrentObservation();

}  // namespace bench
