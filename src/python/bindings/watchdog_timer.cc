#include <memory>

#include "bindings/classes.h"
#include "common/float_text.h"
#include "common/format.h"
#include "kit/type_builder.h"
#include "watchdog/watchdog.h"

namespace kiv::python {
namespace {

using watchdog::WatchdogTimer;

constexpr char kClassDoc[] =
    "WatchdogTimer(deadline_ms)\n--\n\n"
    "Deadline watchdog running on a dedicated OS thread (outside the Python GIL).\n\n"
    "If ``ping()`` is not called within ``deadline_ms`` after ``arm()``, the\n"
    "emergency flag is set atomically.  The Python control loop must call\n"
    "``ping()`` once per cycle and check ``is_emergency()`` after ``step()``.\n\n"
    "Constructor: ``WatchdogTimer(deadline_ms: float)``";
constexpr char kArmDoc[] = "arm($self)\n--\n\nArm (or re-arm) the watchdog.  Clears any previous emergency flag.";
constexpr char kPingDoc[] = "ping($self)\n--\n\nReset the deadline timer.  Must be called once per control cycle.";
constexpr char kDisarmDoc[] = "disarm($self)\n--\n\nDisarm without triggering emergency.";
constexpr char kIsEmergencyDoc[] =
    "is_emergency($self)\n--\n\nTrue if the deadline was exceeded since the last arm()/clear_emergency().";
constexpr char kClearEmergencyDoc[] =
    "clear_emergency($self)\n--\n\nClear the emergency flag (after a safe stop has been performed).";
constexpr char kElapsedDoc[] =
    "elapsed_since_ping_ms($self)\n--\n\nMilliseconds elapsed since the last ping (for diagnostics).";
constexpr char kDeadlineDoc[] = "Configured deadline in milliseconds.";

std::unique_ptr<WatchdogTimer> make(double deadline_ms) { return std::make_unique<WatchdogTimer>(deadline_ms); }

void arm(WatchdogTimer& timer) { timer.arm(); }
void ping(WatchdogTimer& timer) { timer.ping(); }
void disarm(WatchdogTimer& timer) { timer.disarm(); }
bool is_emergency(WatchdogTimer& timer) { return timer.is_emergency(); }
void clear_emergency(WatchdogTimer& timer) { timer.clear_emergency(); }
double elapsed_since_ping_ms(WatchdogTimer& timer) { return timer.elapsed_since_ping_ms(); }
double deadline_ms(WatchdogTimer& timer) { return timer.deadline_ms(); }

std::string repr(WatchdogTimer& timer) {
  return common::format("WatchdogTimer(deadline_ms={}, emergency={})", common::plain_float_text(timer.deadline_ms()),
                        timer.is_emergency());
}

}  // namespace

PyTypeObject* build_watchdog_timer_class() {
  return ClassBuilder<WatchdogTimer, kClassDoc>()
      .constructor<&make>()
      .method<&arm, kArmDoc>()
      .method<&ping, kPingDoc>()
      .method<&disarm, kDisarmDoc>()
      .method<&is_emergency, kIsEmergencyDoc>()
      .method<&clear_emergency, kClearEmergencyDoc>()
      .method<&elapsed_since_ping_ms, kElapsedDoc>()
      .property<&deadline_ms>("deadline_ms", kDeadlineDoc)
      .repr<&repr>()
      .build();
}

}  // namespace kiv::python
