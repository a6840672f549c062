#pragma once
// Ids of the dialog template and its controls.
#define IDD_UPDATER_DIALOG 102
#define IDR_MAINFRAME 128

#define IDC_BTN_UPDATE 1001
#define IDC_BTN_EXIT 1002
#define IDC_PROGRESS 1003
#define IDC_STATUS 1004
#define IDC_LOG 1017
#define IDC_COUNT 1020
#define IDC_SPEED 1021
#define IDC_CURRENT_FILE 1022
#define IDC_FILE_LIST 1023

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
