#include "app/aspi_binding.h"

#include "app/app_state.h"
#include "app/resource_text.h"
#include "res/resource.h"

void ShowAspiStartupError(DWORD errorCode, DWORD aspiStatus) {
  char text[TEXT_BUFFER_SIZE];
  if (errorCode == ERROR_DLL_NOT_FOUND) {
    LoadStringA(AppInstance, IDS_ASPI_REQUIRED, text, sizeof text);
  } else {
    wsprintfA(text, GetResourceText(IDS_ASPI_INIT_FAILED), errorCode, aspiStatus & 0xFF);
  }
  MessageBoxA(NULL, text, MessageCaption, MB_ICONERROR);
}

int BindAspi() {
  DWORD errorCode, aspiStatus;
  if (LoadAspiLayer(AspiBinding, &errorCode, &aspiStatus)) return 1;
  ShowAspiStartupError(errorCode, aspiStatus);
  return 0;
}

void UnbindAspi() { ReleaseAspiLayer(AspiBinding); }
