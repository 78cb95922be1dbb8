#include "main/EntryResources.h"

#include "app/Application.h"
#include "logging/UISink.h"
#include "main/Entry.h"
#include "ui/UIManager.h"

void EntryResources::takeDown(bool applicationRan) {
  if (uiSink) {
    DetachLogView(*uiSink);  // no logging thread may reach the UI from here on
  }
  if (g_ui) {
    g_ui->shutdown();
    g_ui.reset();
  }
  if (g_app) {
    if (applicationRan) {
      g_app->shutdown();
    }
    g_app.reset();
  }
  CleanupDeviceD3D();
  if (window != nullptr) {
    DestroyWindow(window);
    window = nullptr;
  }
  if (windowClass) {
    UnregisterClassW(kWindowClass, instance);
    windowClass = false;
  }
  if (com) {
    CoUninitialize();
    com = false;
  }
}
