// Resource identifiers of the executable.
#pragma once

#define IDD_MAIN 101
#define IDC_BROWSE 1001
#define IDC_GET_INFO 1002
#define IDC_PATH 1003
#define IDC_REPORT 1004
