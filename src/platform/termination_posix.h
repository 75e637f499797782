// What a POSIX wait needs of termination.h. Included only by *_posix.cpp files.
#pragma once

#include <signal.h>

namespace vantle::termination {

// Removes from `mask` the signals that request the tool's end, which a deferral blocks: a wait that
// sleeps with it (ppoll) wakes for a request, pending or new.
void let_requests_through(sigset_t& mask);

}  // namespace vantle::termination
