// Identity of the program: the one place its version numbers, names and web
// address are written. Included by the code and by the resource script, so it
// holds preprocessor definitions only.
#ifndef MURKSCOPE_VERSION_H
#define MURKSCOPE_VERSION_H

#define VERSION_MAJOR 1
#define VERSION_MINOR 5
#define VERSION_PATCH 0
#define VERSION_BUILD 0

#define VERSION_TEXT "1.5"
#define VERSION_FULL_TEXT "1.5.0.0"

#define DISPLAY_NAME "Murkscope"
#define PROGRAM_NAME "Murkscope64"
#define MAKER_NAME "Quorvane"
#define ORIGINAL_FILE_NAME "Murkscope.exe"
#define FILE_DESCRIPTION "Tool to find Hidden Command Prompts and Detect Hacker Activity"
#define PRODUCT_WEB_ADDRESS "https://quorvane.example/murkscope"

#endif
