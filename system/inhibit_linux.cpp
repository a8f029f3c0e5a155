// Sleep and shutdown held off on Linux while a flash runs: logind's
// inhibitor lock, asked on the system bus through libsystemd's sd-bus.
#include <systemd/sd-bus.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "system/system.h"

static int Inhibitor = -1;  // logind keeps the inhibitor while this stays open

// The inhibitor's descriptor, or -1 with a sentence why there is none.
static int AskLogind(std::string *why) {
  sd_bus *bus = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message *reply = nullptr;
  int fd = -1;
  int r = sd_bus_open_system(&bus);
  if (r < 0) {
    *why = std::string("no system bus (") + strerror(-r) + ")";
  } else {
    r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "Inhibit", &error, &reply, "ssss",
                           "sleep:shutdown:idle:handle-lid-switch", "flashtool",
                           "A drive's firmware is being written", "block");
    int received = -1;
    if (r < 0) {
      *why = std::string("logind did not take it (") +
             (error.message != nullptr ? error.message : strerror(-r)) + ")";
    } else if (sd_bus_message_read(reply, "h", &received) < 0 || received < 0) {
      *why = "logind gave no inhibitor";
    } else {
      // The reply owns the descriptor it carries.
      fd = fcntl(received, F_DUPFD_CLOEXEC, 3);
      if (fd < 0) *why = std::string("cannot keep logind's inhibitor (") + strerror(errno) + ")";
    }
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_flush_close_unref(bus);
  return fd;
}

std::string KeepSystemAwake(bool awake) {
  if (awake && Inhibitor < 0) {
    std::string why;
    Inhibitor = AskLogind(&why);
    if (Inhibitor < 0) return "sleep and shutdown are not held off during the flash: " + why;
  } else if (!awake && Inhibitor >= 0) {
    close(Inhibitor);
    Inhibitor = -1;
  }
  return "";
}
