// Kavrel.exe: the dialer window on plain Win32 controls, with sound through DirectSound.
#include <exception>

#include "audio/dsound/dsound_device.h"
#include "dialer/form1.h"
#include "dialer/forms/win32/win32_binding.h"
#include "runtime/utf8.h"
#include "runtime/win32.h"
// After runtime/win32.h, which it builds on.
#include <objbase.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_command) {
  // The shell, which opens the web link, wants a single-threaded apartment without OLE 1 DDE.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  int code = 1;
  try {
    forms::win32::Win32Binding binding(instance);
    dialer::Form1 form(binding, audio::OpenDirectSound);
    binding.Build(form);
    // Start-up errors (no sound device, say) are shown in a message box; the window opens anyway.
    form.UserLoad();
    binding.Show(show_command);
    code = binding.Run();
  } catch (const std::exception& e) {
    // Only the window's own creation can fail here; every event has its own error guard.
    const std::u16string text = runtime::FromUtf8(e.what());
    MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(text.c_str()), L"Kavrel",
                MB_OK | MB_ICONERROR);
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return code;
}
