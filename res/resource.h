// Every resource and control id of Flash Tool. Shared by the .rc file, the
// program and the tests, so it holds nothing but #define lines.
#ifndef FLASHTOOL_RESOURCE_H
#define FLASHTOOL_RESOURCE_H

// Dialog templates
#define IDD_MAIN                102
#define IDD_SCSI_FAILURE        114

// Icon group
#define IDI_MAIN                128

// String table
#define IDS_ASPI_INIT_FAILED    48
#define IDS_ASPI_REQUIRED       49
#define IDS_WIN32S              50
#define IDS_NA                  52
#define IDS_CAPTION             53
#define IDS_AUTOPLAY_DISABLED   54
#define IDS_UNSUPPORTED_WINDOWS 56

// Main window controls
#define IDC_DEVICE_LIST         1000
#define IDC_COLOR_SINK          1001
#define IDC_FLASH               1002
#define IDC_BROWSE              1025
#define IDC_IMAGE_PATH          1026
#define IDC_LOG                 1027

// Command failure dialog value fields
#define IDC_FAIL_TARGET         100
#define IDC_FAIL_CDB            101
#define IDC_FAIL_HA_STATUS      102
#define IDC_FAIL_TARGET_STATUS  103
#define IDC_FAIL_SENSE_KEY      104
#define IDC_FAIL_ASC            105
#define IDC_FAIL_ASCQ           106

// The private window class of the main window; a second start finds the
// first by it.
#define MAIN_WINDOW_CLASS       "VELDRIN"

#endif
