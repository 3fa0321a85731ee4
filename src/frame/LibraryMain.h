// What the backend's entry point calls when the host loads and unloads the library.
#pragma once

void LibraryAttach();
// Only when the library is unloaded while the process goes on: at process exit the
// other threads are already gone and theApp's destruction is enough.
void LibraryDetach();
