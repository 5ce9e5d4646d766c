// Resource ids of the Win32 dialog, shared by quorvex_ae.rc and the C++
// code. The resource compiler reads only macros, so the control ids are
// written out here again; win32_platform.cpp checks them against
// app/platform.h at compile time.
#pragma once

#define IDR_MAINFRAME 128
#define IDD_QUORVEX_AE_DIALOG 102
#define IDD_ABOUTBOX 100

// In the window menu, below 0xF000 where the system's own commands start,
// and with the low four bits clear, as WM_SYSCOMMAND masks them.
#define IDM_ABOUTBOX 0x0010

#define IDC_INPUT_FILE 1000
#define IDC_PAR_FILE 1001
#define IDC_STATUS 1003
#define IDC_GO 1004
#define IDC_AUTO_CLOSE 1005
#define IDC_AE_RANGE 1052

#define IDC_ABOUT_ICON 1100
#define IDC_ABOUT_TEXT 1101

#define IDS_ABOUTBOX 101
