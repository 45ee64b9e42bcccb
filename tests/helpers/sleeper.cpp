// A process that just stays alive, so tests can act on a running executable; it ends when it is
// terminated, or by itself after a minute so that a failed test leaves nothing behind for long.
#include <windows.h>

int main() {
    Sleep(60000);
    return 0;
}
