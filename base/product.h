// The product's fixed names and texts, kept in one place.
#pragma once

#define PRODUCT_NAME "Tavrin-Solo"
#define PRODUCT_LONG_NAME "Tavrin Solo Cueboard"
#define PRODUCT_VERSION "1.2.4.5"
#define MAKER_NAME "Quorel"
#define MAKER_PUBLISHER "Quorel Software"
// The maker's web address that failure texts point to.
#define MAKER_WEB_ADDRESS "www.quorel-audio.example"
// Relative folder below Program Files and below the Start-menu programs folders.
#define PRODUCT_FOLDER "Quorel\\Tavrin-Solo"
// The application's main executable, its readme, and the title of its main window.
#define APP_EXECUTABLE_NAME "TavrinSolo.exe"
#define APP_README_NAME "readme.txt"
#define APP_WINDOW_TITLE "TavrinSolo"
// The installer's usual file name: its copy's name when its own cannot be spelled.
#define INSTALLER_FILE_NAME "TavrinSoloSetup.exe"
