#include "install/transport_report.h"

#include <cstdio>

void ReportTransportError(const TransportError& error) {
    if (error)
        std::fprintf(stderr, "[%s] %s\n", error.caption, error.text);
}
