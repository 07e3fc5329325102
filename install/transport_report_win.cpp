#include "install/transport_report.h"

#include "base/report_win.h"

void ReportTransportError(const TransportError& error) {
    ShowTransportError(error);
}
