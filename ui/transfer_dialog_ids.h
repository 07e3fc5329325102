// Resource ids of the Transfer Status dialog (ui/transfer_dialog.rc,
// transfer_status_win.cpp) and the commands its procedure takes.
#pragma once

// Dialog 103: Transfer Status
#define IDD_TRANSFER_STATUS 103
#define IDC_TRANSFER_TEXT 102
#define IDC_TRANSFER_SECOND 103
#define IDC_TRANSFER_PROGRESS 1003
#define CMD_TRANSFER_SET_TEXT 26
#define CMD_TRANSFER_ADVANCE 27
