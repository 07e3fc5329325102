// Resource ids of Install.exe (hand-written; one block per dialog).
#pragma once

// Icon
#define IDI_INSTALL 104

// Dialog "CONNECTING_DIALOG": Connection Progress
#define IDC_CONNECT_SEARCH 1011
#define IDC_CONNECT_PORT 1012
#define IDC_CONNECT_TICKS 1013

// Dialog 101: Enter IP Address To Connect To
#define IDD_IP_ADDRESS 101
#define IDC_IP_ADDRESS 1002

// Dialog 103: Transfer Status
#define IDD_TRANSFER_STATUS 103
#define IDC_TRANSFER_TEXT 102
#define IDC_TRANSFER_SECOND 103
#define IDC_TRANSFER_PROGRESS 1003
#define CMD_TRANSFER_SET_TEXT 26
#define CMD_TRANSFER_ADVANCE 27

// Dialog 105: Select File to Transfer
#define IDD_FILE_LIST 105
#define IDC_FILE_LIST 1007
