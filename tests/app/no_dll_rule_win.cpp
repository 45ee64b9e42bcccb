// The control updater of the planted-DLL test: the DLL rule left out, as before it existed.
#include "app/dll_search.h"

void RestrictDllSearch() {}
