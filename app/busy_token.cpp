#include "app/busy_token.h"

#include "app/app_state.h"
#include "res/resource.h"

// An unnamed semaphore records no owner, so the flash worker may give back
// what the UI thread took.
HANDLE BusyToken;

// The controls that could start work the token would refuse, in the order
// they are greyed and enabled again.
static const int GuardedControls[] = {IDC_DEVICE_LIST, IDC_FLASH, IDC_BROWSE, IDOK};

static void EnableGuardedControls(BOOL enable) {
  for (int id : GuardedControls) EnableWindow(GetDlgItem(MainWindow, id), enable);
}

int TakeBusyToken() {
  int taken = 0;
  if (BusyToken == NULL) {
    // Created with count 0: whoever creates it holds it.
    BusyToken = CreateSemaphoreA(NULL, 0, 1, NULL);
    taken = BusyToken != NULL;
  } else {
    taken = WaitForSingleObject(BusyToken, 0) == WAIT_OBJECT_0;
  }
  if (taken) EnableGuardedControls(FALSE);
  return taken;
}

void GiveBackBusyToken() {
  if (BusyToken == NULL) return;
  // Releasing a free token fails inside the semaphore and leaves its one
  // slot as it was; the controls come back either way.
  ReleaseSemaphore(BusyToken, 1, NULL);
  EnableGuardedControls(TRUE);
}
