/* A stand-in Windows client: a program whose features are its version resource and that it runs
 * until it is ended, as the master does while the updater works. */
#include <windows.h>

int main(void)
{
    Sleep(INFINITE);
    return 0;
}
