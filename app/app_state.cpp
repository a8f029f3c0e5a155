#include "app/app_state.h"

HINSTANCE AppInstance;
HWND MainWindow;
TransportMode CurrentTransport = PassThroughMode;
char MessageCaption[TEXT_BUFFER_SIZE];
HANDLE FlashThread;
AspiLayer AspiBinding;
DriveTable TheDriveTable;
volatile LONG FlashJobActive;
