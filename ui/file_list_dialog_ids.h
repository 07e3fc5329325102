// Resource ids of the file list dialog (ui/file_list_dialog.rc, file_list_win.cpp and
// upload_win.cpp).
#pragma once

// Dialog 105: Select File to Transfer
#define IDD_FILE_LIST 105
#define IDC_FILE_LIST 1007
