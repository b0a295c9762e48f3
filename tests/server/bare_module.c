/* A DLL that carries no type library: the registration tests load it to
 * reach the ".tlb" file beside a module. */
#include <windows.h>

__declspec(dllexport) int BareModuleMarker(void) { return 1; }
