// Resource identifiers of bulksetup, shared by bulksetup.rc and the program.
#ifndef BULKSETUP_RESOURCE_H
#define BULKSETUP_RESOURCE_H

#define IDS_APP_TITLE 103
#define IDD_ABOUTBOX 103
#define IDM_ABOUT 104
#define IDM_EXIT 105
#define IDI_BULKSETUP 107
#define IDI_SMALL 108
#define IDC_BULKSETUP 109

// The icon control of the About box.
#define IDC_ABOUT_ICON 2

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#endif
