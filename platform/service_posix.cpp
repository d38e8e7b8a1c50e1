// How the program runs on POSIX systems: a service manager (systemd) starts
// it as it is and collects standard output, so the service runs directly.
#include "platform.h"

int RunPlatformService(ServeFunction serve, const char *settingsLocation)
{
    return serve(settingsLocation);
}
