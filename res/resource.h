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

// The string table: every text the program shows, in each language. The
// upgrade's messages follow its statuses in order (success, then each failure
// row), so that IDS_UPGRADE_SUCCESS + status is the status's message.
#define IDS_UPGRADE_SUCCESS 100
#define IDS_MOUSE_ABSENT 101
#define IDS_NO_IMAGE_PATH 102
#define IDS_OUT_OF_MEMORY 103
#define IDS_IMAGE_OPEN_FAILED 104
#define IDS_HEADER_READ_FAILED 105
#define IDS_INVALID_IMAGE 106
#define IDS_NOT_KV27_IMAGE 107
#define IDS_WRONG_IMAGE_NAME 108
#define IDS_WRONG_CHECKSUM 109
#define IDS_WRONG_LENGTH 110
#define IDS_DECODE_INIT_FAILED 111
#define IDS_PAYLOAD_READ_FAILED 112
#define IDS_DECODE_VERIFY_FAILED 113
#define IDS_USER_DATA_FAILED 114
#define IDS_BOOTLOADER_NOT_FOUND 115
#define IDS_BOOTLOADER_OPEN_FAILED 116
#define IDS_ERASE_FAILED 117
#define IDS_WRITE_FAILED 118
#define IDS_READ_FAILED 119
#define IDS_COMPARE_FAILED 120
#define IDS_VERIFY_FAILED 121
#define IDS_PROTECT_FAILED 122
#define IDS_EXIT_FAILED 123
#define IDS_MOUSE_PORT_UNKNOWN 124
#define IDS_BACKUP_FAILED 130
#define IDS_NO_BACKUP 131
#define IDS_CAPTION 132
#define IDS_IMAGE_FILTER 133
#define IDS_COUNTDOWN 134
#define IDS_BACKUP_DAMAGED 135
#define IDS_OLDER_BACKUP 136
