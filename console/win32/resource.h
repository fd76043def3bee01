// Resource ids of the Windows program. Shared by the resource script and the
// C++ code, so only preprocessor definitions belong here.
#pragma once

#define IDS_APP_TITLE 103
#define IDS_WINDOW_CLASS 109

#define IDD_ABOUTBOX 103
#define IDM_ABOUT 104
#define IDM_EXIT 105
#define IDM_CLASS_DISPLAY 106
#define IDI_KORAVEL 107
#define IDI_SMALL 108
#define IDC_KORAVEL 109
#define IDC_ABOUT_ICON 2

// The File menu's commands: the same numbers as the console's commands.
#define IDM_RECORD 107
#define IDM_MARK 108
#define IDM_PARTICIPANTS 109
#define IDM_NO_PARTICIPANTS 110
#define IDM_SAVE_HEARD 111
#define IDM_SESSION_REPORT 112

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
