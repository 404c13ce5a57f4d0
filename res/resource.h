// Resource ids of the upgrade program, shared by the resource script and the code.
#pragma once

#define IDD_KV27MFIRMWAREUPDATE_DIALOG 102
#define IDR_MAINFRAME 128
#define IDB_MOUSE_ABSENT 129
#define IDB_MOUSE_PRESENT 130

#define IDC_IMAGE_PATH 1000
#define IDC_SELECT_IMAGE 1001
#define IDC_PROGRESS 1002
#define IDC_UPGRADE 1003
#define IDC_PERCENT 1004
#define IDC_DEVICE_INDICATOR 1007

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
