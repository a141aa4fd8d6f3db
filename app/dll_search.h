// The first thing the installer does: lock the process's DLL search to the
// system folder.
//
// It runs elevated from its download folder, where anyone may have left a
// DLL named like one that Windows loads on demand (uxtheme.dll, version.dll,
// the rich-edit libraries, ...). Its import table names only libraries the
// system always takes from its own known set; everything else is loaded
// later, and only from the system folder.
#pragma once

namespace upkit::app {

// Makes System32 the only folder the DLL search uses for the rest of the
// run (SetDefaultDllDirectories, looked up at run time). Where the system
// lacks that call, takes the current folder out of the search and loads
// from System32, by full path, the libraries system code would otherwise
// fetch on demand from the program's folder. Call before anything else.
void LockDllSearchToSystem32();

}  // namespace upkit::app
