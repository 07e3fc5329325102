// How the work on the machine tells of a failure the transport hands back: the transport's box
// (owned by the active window) in the Windows program, "[caption] text" on standard error in
// native builds.
#pragma once
#include "transport/transport_errors.h"

void ReportTransportError(const TransportError& error);
