// Frame metrics with which the window is sized to its picture. GetSystemMetrics is reached the
// way the SDK's multi-monitor compatibility stubs reach it: through user32's export when the
// whole multi-monitor API is there, otherwise through the static import.
#include "ui/paint.h"

SystemMetricsFunction LookUpSystemMetrics(HMODULE user32) {
  static const char* const names[] = {
      "GetSystemMetrics", "MonitorFromWindow",   "MonitorFromRect",    "MonitorFromPoint",
      "EnumDisplayMonitors", "GetMonitorInfoA", "EnumDisplayDevicesA",
  };
  if (user32 == nullptr) return GetSystemMetrics;
  FARPROC first = nullptr;
  for (const char* name : names) {
    FARPROC found = GetProcAddress(user32, name);
    if (found == nullptr) return GetSystemMetrics;  // stop at the first missing one
    if (first == nullptr) first = found;
  }
  return reinterpret_cast<SystemMetricsFunction>(reinterpret_cast<void (*)(void)>(first));
}

static int SystemMetric(int index) {
  static SystemMetricsFunction metrics;  // looked up once, at the first query
  if (metrics == nullptr) metrics = LookUpSystemMetrics(GetModuleHandleA("USER32"));
  return metrics(index);
}

void GetFrameMetrics(int32_t* frameWidth, int32_t* captionHeight) {
  if (frameWidth != nullptr) {
    *frameWidth = SystemMetric(SM_CXPADDEDBORDER) + SystemMetric(SM_CXFIXEDFRAME);
  }
  if (captionHeight != nullptr) *captionHeight = SystemMetric(SM_CYCAPTION);
}
