/* A module with nothing in it but its name: the log tests load it from a
   folder of their choosing, as the host module the append log moves beside. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
