// Registration of the module's classes: the COM class keys, the filter mapper's entry and the
// "Source Filter" values of the movie extensions, over the module's class table (g_Templates),
// which a test may replace with its own.
#pragma once

#include <windows.h>
#include <strmif.h>

#include "framework/setupdata.h"

// Maps one extension ("mov" or ".mov") to the filter: Media Type\Extensions\.ext. Another
// filter's "Source Filter" found there is kept beside it, to be put back at unregistration.
HRESULT RegisterExtension(LPCWSTR pszExtension);
// Undoes that, but only while "Source Filter" is still this filter's class identifier (another
// filter may have claimed the extension since): the kept value goes back, or the value goes
// with the key when the key holds nothing else. A missing key is S_OK.
HRESULT UnregisterExtension(LPCWSTR pszExtension);

// The movie's check bytes under a stream subtype of this filter's own (the stream type's key
// under Media Type, then the subtype's: the first atoms of QuickTime and MPEG-4 files, raw AMR's "#!AMR") with this filter
// as their "Source Filter", kept and put back like an extension's; and their removal.
HRESULT RegisterCheckBytes();
HRESULT UnregisterCheckBytes();

// The class keys and the filter mapper's entries of every row of g_Templates.
HRESULT AMovieDllRegisterServer2(BOOL bRegister);
// The class keys alone (CLSID\{...}, InprocServer32 with the module path, ThreadingModel).
HRESULT AMovieSetupRegisterServer(BOOL bRegister, LPCWSTR pszModulePath);
// One filter with the mapper; S_FALSE without data.
HRESULT AMovieSetupRegisterFilter2(const AMOVIESETUP_FILTER *pSetup, IFilterMapper2 *pMapper,
                                   BOOL bRegister);
HRESULT AMovieSetupRegisterFilter(const AMOVIESETUP_FILTER *pSetup, IFilterMapper *pMapper,
                                  BOOL bRegister);
// Removes hParent\pszSubKey with all its subkeys. A missing key is S_OK; a key or child that
// cannot be deleted stops the walk and its error is returned.
HRESULT EliminateSubKey(HKEY hParent, LPCWSTR pszSubKey);

STDAPI DllRegisterServer();
STDAPI DllUnregisterServer();
