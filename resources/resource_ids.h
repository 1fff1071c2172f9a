/* Identifiers shared by kestrel.rc and the dialog code (plain defines: windres reads it). */
#ifndef KESTREL_RESOURCE_IDS_H
#define KESTREL_RESOURCE_IDS_H

#define IDD_KESTREL_CONFIG 101
#define IDD_KESTREL_STATUS 102
#define IDI_KESTREL 103

/* Configuration dialog. */
#define IDC_CONFIG_EMAIL 1000
#define IDC_CONFIG_CTRL_PORT 1001
#define IDC_CONFIG_ACTIVE 1002
#define IDC_CONFIG_PASSIVE 1003
#define IDC_CONFIG_AUTO 1004
#define IDC_CONFIG_DEFAULT_DIR 1005
#define IDC_CONFIG_PROXY_NONE 1006
#define IDC_CONFIG_PROXY_USER 1007
#define IDC_CONFIG_PROXY_OPEN 1008
#define IDC_CONFIG_PROXY_OPEN_LOWER 1009
#define IDC_CONFIG_PROXY_HOST 1010
#define IDC_CONFIG_PROXY_PORT 1011
#define IDC_CONFIG_RESUME 1012
#define IDC_CONFIG_CONNECTIONS 1013
#define IDC_CONFIG_USE_MLSD 1016
#define IDC_CONFIG_SERVER_CHARSET 1017

/* Status window; its Cancel button is the system's IDCANCEL (2). */
#define IDC_STATUS_TEXT 1000

#endif
