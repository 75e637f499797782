// What a Windows wait needs of termination.h. Included only by *_windows.cpp files.
#pragma once

namespace vantle::termination {

// The event set on the first request, for a wait to include, and which stays set: none before the
// first deferral, or where the system refused to make it.
void* request_event();

// Whether a request could come that request_event() would not show: a deferral lives without it.
bool request_unsignalled();

}  // namespace vantle::termination
