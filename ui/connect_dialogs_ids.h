// Resource ids of the connecting dialogs (ui/connect_dialogs.rc, connect_win.cpp).
#pragma once

// Dialog "CONNECTING_DIALOG": Connection Progress (a named resource, not a number)
#define IDD_CONNECTING "CONNECTING_DIALOG"
#define IDC_CONNECT_SEARCH 1011
#define IDC_CONNECT_PORT 1012
#define IDC_CONNECT_TICKS 1013

// Dialog 101: Enter IP Address To Connect To
#define IDD_IP_ADDRESS 101
#define IDC_IP_ADDRESS 1002
