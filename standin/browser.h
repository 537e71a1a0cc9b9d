#pragma once
// The stand-in web browser control: the COM object a container creates for the web browser
// control's class, hosts in place, and drives through IWebBrowser2.

#include <windows.h>
#include <unknwn.h>

namespace standin {

// A new browser object (one reference), answering riid.
HRESULT CreateWebBrowser(REFIID riid, void** object);

// Browser objects alive in this module.
long LiveBrowserCount();

// The module's window classes, unregistered when the module unloads.
void SetModuleInstance(HINSTANCE instance);
void UnregisterWindowClasses();

}  // namespace standin
