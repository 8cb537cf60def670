// The product's fixed names and texts, kept in one place: every name the installer shows to
// Windows or the user is spelled here, and built from these where it joins several.
#pragma once

#define PRODUCT_NAME "Tavrin-Solo"
#define PRODUCT_LONG_NAME "Tavrin Solo Cueboard"
#define PRODUCT_VERSION "1.2.4.5"
#define MAKER_NAME "Quorel"
#define MAKER_PUBLISHER MAKER_NAME " Software"
// The maker's web address that failure texts point to.
#define MAKER_WEB_ADDRESS "www.quorel-audio.example"
// The installer's GUID, whole in the mutex name and its first three groups in the record's name.
#define PRODUCT_GUID_HEAD "6C0F2E93-B71A-4d5e"
#define PRODUCT_GUID PRODUCT_GUID_HEAD "-A3C9-51A8D40C72F6"
// Relative folder below Program Files and below the Start-menu programs folders; also the
// application's settings key below HKEY_CURRENT_USER.
#define PRODUCT_FOLDER MAKER_NAME "\\" PRODUCT_NAME
// The application's base name: its main executable, its main window's title and its link.
#define APP_BASE_NAME "TavrinSolo"
#define APP_EXECUTABLE_NAME APP_BASE_NAME ".exe"
#define APP_WINDOW_TITLE APP_BASE_NAME
#define APP_README_NAME "readme.txt"
// The Start-menu links to the readme and the program, and the Startup link removal deletes.
#define README_LINK_NAME "Readme"
#define APP_LINK_NAME APP_BASE_NAME
#define STARTUP_LINK_NAME PRODUCT_NAME " (" MAKER_NAME ")"
// The installer's usual file name: its copy's name when its own cannot be spelled.
#define INSTALLER_FILE_NAME APP_BASE_NAME "Setup.exe"
// Names the installer shows to Windows: the single-instance mutex and the window class.
#define INSTALLER_MUTEX_NAME MAKER_NAME " " APP_BASE_NAME "-Installation- Mutex-{" PRODUCT_GUID "}"
#define INSTALLER_WINDOW_CLASS MAKER_NAME PRODUCT_NAME "0Installer0MainWindow0"
