// Resource ids of the Win32 desktop programs, shared by the .rc files and the code.
#pragma once

#define IDR_MAINFRAME 128  // menu, toolbar, bitmap, accelerators, icon, document string
#define IDI_DOCUMENT 129   // the icon of registered firmware files
#define IDD_ABOUTBOX 100
#define IDD_FORM 101
#define IDD_PASSWORD 105
#define IDD_PORT 132
#define IDD_TRANSFER 140
#define IDD_STOP_QUESTION 141

#define IDC_PASSWORD 1005
#define IDC_PASSWORD_OK 1006
#define IDC_COM1 1010
#define IDC_PORT_GROUP 1011
#define IDC_COM2 1012
#define IDC_COM3 1013
#define IDC_COM4 1014
#define IDC_COM5 1015
#define IDC_COM6 1016
#define IDC_SYSTEM_PORTS 1020
#define IDC_PORT_NAME 1021
#define IDC_ABOUT_ICON 1029
#define IDC_VERSION 1030
#define IDC_FIRST_BLOCK 1031
#define IDC_SECOND_BLOCK 1032
#define IDC_TRANSFER_TEXT 1040
#define IDC_TRANSFER_PROGRESS 1041
#define IDC_QUESTION_ICON 1042
// The text control of a message box, which the stop question shares.
#define IDC_STATIC_TEXT 0xFFFF

#define AFX_IDS_APP_TITLE 57344
#define AFX_IDS_IDLEMESSAGE 57345
#define AFX_IDW_TOOLBAR 0xE800
#define AFX_IDW_STATUS_BAR 0xE801
// The resource type of a toolbar: button size and the command of each button.
#define RT_TOOLBAR_RESOURCE 241
